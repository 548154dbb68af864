// The console's Telnet reading before login, fed whole, byte by byte and split at every one and
// every two positions: what it types and what it answers must not depend on the chunking.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/TelnetLoginFilter.h"

namespace kov {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// What a client sends right after connecting.
const std::string kPuttyOpening =
    Bytes({0xff, 0xfb, 0x1f, 0xff, 0xfb, 0x20, 0xff, 0xfb, 0x18, 0xff, 0xfb,
           0x27, 0xff, 0xfd, 0x01, 0xff, 0xfb, 0x03, 0xff, 0xfd, 0x03});
const std::string kPuttyAnswer =
    Bytes({0xff, 0xfe, 0x1f, 0xff, 0xfe, 0x20, 0xff, 0xfe, 0x18, 0xff, 0xfe,
           0x27, 0xff, 0xfb, 0x01, 0xff, 0xfd, 0x03, 0xff, 0xfb, 0x03});
// Debian's telnet when it negotiates (port 23): DO SGA, WILL TTYPE, NAWS, TSPEED, LFLOW,
// LINEMODE, NEW-ENVIRON, DO STATUS.
const std::string kTelnetOpening =
    Bytes({0xff, 0xfd, 0x03, 0xff, 0xfb, 0x18, 0xff, 0xfb, 0x1f, 0xff, 0xfb, 0x20,
           0xff, 0xfb, 0x21, 0xff, 0xfb, 0x22, 0xff, 0xfb, 0x27, 0xff, 0xfd, 0x05});
const std::string kTelnetAnswer =
    Bytes({0xff, 0xfb, 0x03, 0xff, 0xfe, 0x18, 0xff, 0xfe, 0x1f, 0xff, 0xfe, 0x20,
           0xff, 0xfe, 0x21, 0xff, 0xfe, 0x22, 0xff, 0xfe, 0x27, 0xff, 0xfc, 0x05});

// A filter whose typed bytes and answers go to one transcript, the answers that come together
// in one pair of brackets (however many sends they took).
struct Reader {
  std::string transcript;
  bool answered = false;  // the transcript ends with answers
  TelnetLoginFilter filter{[this](const std::string& answer) {
    if (answered) transcript.pop_back();
    transcript += (answered ? "" : "[") + answer + "]";
    answered = true;
  }};

  // Reads the chunks in turn, each to its end, as the console does.
  std::string Feed(const std::vector<std::string>& chunks) {
    for (const std::string& chunk : chunks) {
      size_t at = 0;
      while (at < chunk.size()) {
        at += filter.Read(chunk.data() + at, chunk.size() - at, [&](char c) {
          transcript += c;
          answered = false;
          return true;
        });
      }
    }
    return transcript;
  }
};

// Every chunking of input into one, two or three pieces, and byte by byte.
std::vector<std::vector<std::string>> Chunkings(const std::string& input) {
  std::vector<std::vector<std::string>> all = {{input}, {}};
  for (char c : input) all[1].push_back(std::string(1, c));
  for (size_t i = 1; i < input.size(); ++i) {
    all.push_back({input.substr(0, i), input.substr(i)});
    for (size_t j = i + 1; j < input.size(); ++j) {
      all.push_back({input.substr(0, i), input.substr(i, j - i), input.substr(j)});
    }
  }
  return all;
}

TEST(TelnetLoginFilterTest, EveryKindOfCommandInEveryChunking) {
  const struct {
    const char* what;
    std::string input, transcript;
  } cases[] = {
      {"PuTTY's opening, then the password", kPuttyOpening + "PZQ\r\n",
       "[" + kPuttyAnswer + "]PZQ\r\n"},
      {"Debian's telnet opening", kTelnetOpening + "ab", "[" + kTelnetAnswer + "]ab"},
      {"the answer to the greeting", Bytes({0xff, 0xfc, 0x01}) + "PZQ\r\n", "PZQ\r\n"},
      {"WONT and DONT of what is off", "a" + Bytes({0xff, 0xfe, 0x00, 0xff, 0xfc, 0x1f}) + "b",
       "ab"},
      {"DO ECHO, then DONT ECHO", Bytes({0xff, 0xfd, 0x01}) + "a" + Bytes({0xff, 0xfe, 0x01}) + "b",
       "[" + Bytes({0xff, 0xfb, 0x01}) + "]a[" + Bytes({0xff, 0xfc, 0x01}) + "]b"},
      {"WILL ECHO refused, asked twice",
       Bytes({0xff, 0xfb, 0x01, 0xff, 0xfb, 0x01}) + "x",
       "[" + Bytes({0xff, 0xfe, 0x01, 0xff, 0xfe, 0x01}) + "]x"},
      {"a subnegotiation, with IAC IAC and LF in it",
       "a" + Bytes({0xff, 0xfa, 0x18, 0x00, 'v', 0xff, 0xff, '\n', 't', 0xff, 0xf0}) + "b", "ab"},
      {"commands 240 to 249",
       Bytes({'a', 0xff, 0xf0, 0xff, 0xf1, 'b', 0xff, 0xf2, 0xff, 0xf3, 0xff, 0xf4, 0xff, 0xf5,
              0xff, 0xf6, 0xff, 0xf7, 0xff, 0xf8, 0xff, 0xf9, 'c'}),
       "abc"},
      {"IAC IAC in a password", Bytes({'p', 0xff, 0xff, 'w', 0xff, 0xff, '\r', '\n'}),
       Bytes({'p', 0xff, 'w', 0xff, '\r', '\n'})},
      {"IAC and a byte below 240", Bytes({0xff, 'x', 0xff, 0x00, 0xff, 0xef, 0xff, '\n'}),
       Bytes({0xff, 'x', 0xff, 0x00, 0xff, 0xef, 0xff, '\n'})},
  };
  for (const auto& c : cases) {
    for (const auto& chunks : Chunkings(c.input)) {
      std::string split;
      for (const std::string& chunk : chunks) split += "|" + std::to_string(chunk.size());
      EXPECT_EQ(Reader().Feed(chunks), c.transcript) << c.what << ", chunks" << split;
    }
  }
}

TEST(TelnetLoginFilterTest, ReadsALineAtATimeAndStopsWhereTheSinkDoes) {
  TelnetLoginFilter filter([](const std::string&) {});
  std::string typed;
  const std::string input = "ab\ncd" + Bytes({0xff, 0xfb, '\n'}) + "ef";
  const auto all = [&](char c) {
    typed += c;
    return true;
  };
  EXPECT_EQ(filter.Read(input.data(), input.size(), all), 3u);
  EXPECT_EQ(typed, "ab\n");
  // An LF inside a command ends the read too; it is no line end.
  EXPECT_EQ(filter.Read(input.data() + 3, input.size() - 3, all), 5u);
  EXPECT_EQ(typed, "ab\ncd");
  typed.clear();
  EXPECT_EQ(filter.Read(input.data() + 8, 2, [&](char c) {
    typed += c;
    return false;
  }), 1u);
  EXPECT_EQ(typed, "e");
  // A command begun and then dropped is not continued by later bytes.
  const std::string begun = Bytes({0xff, 0xfb});
  filter.Read(begun.data(), begun.size(), all);
  filter.Drop();
  typed.clear();
  EXPECT_EQ(filter.Read("xy", 2, all), 2u);
  EXPECT_EQ(typed, "xy");
}

// A new connection starts with nothing agreed and no command begun.
TEST(TelnetLoginFilterTest, ResetForgetsTheOptionsAndACommandBegun) {
  Reader reader;
  const std::string willEcho = "[" + Bytes({0xff, 0xfb, 0x01}) + "]";
  EXPECT_EQ(reader.Feed({Bytes({0xff, 0xfd, 0x01, 0xff})}), willEcho);
  reader.filter.Reset();
  // The 0xfd after the reset is data, and DO ECHO is answered again.
  EXPECT_EQ(reader.Feed({Bytes({0xfd, 0x01, 0xff, 0xfd, 0x01})}),
            willEcho + Bytes({0xfd, 0x01}) + willEcho);
}

}  // namespace
}  // namespace kov
