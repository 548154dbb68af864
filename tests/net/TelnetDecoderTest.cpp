#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "net/TelnetCodes.h"
#include "net/TelnetDecoder.h"
#include "net/TelnetEncoder.h"

namespace kov {
namespace {

using namespace telnet;
using namespace std::string_literals;

// Writes what the decoder reports as text: data as it is (runs joined, whatever the spans),
// every other event in braces, e.g. "ab{cmd 241}{251 1}{sb 44 0102 ok}c".
class Recorder : public TTelnetHandler {
 public:
  std::string log;
  size_t budget = SIZE_MAX;  // data bytes still taken; fewer are taken past it
  const char* chunk = nullptr;  // the chunk being fed, to check spans lie in it
  size_t chunkLen = 0;

  size_t OnData(const char* data, size_t len) override {
    EXPECT_GT(len, 0u);
    const bool inChunk = data >= chunk && data + len <= chunk + chunkLen;
    EXPECT_TRUE(inChunk || (len == 1 && *data == '\xff'));
    const size_t taken = std::min(len, budget);
    budget -= taken;
    log.append(data, taken);
    return taken;
  }
  void OnCommand(uint8_t command) override { Add("{cmd " + std::to_string(command) + "}"); }
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    Add("{" + std::to_string(verb) + " " + std::to_string(option) + "}");
  }
  void OnSubnegotiation(uint8_t option, const char* payload, size_t len,
                        TSubnegotiationEnd end) override {
    std::string hex;
    for (size_t i = 0; i < len; ++i) {
      char b[3];
      std::snprintf(b, sizeof b, "%02x", static_cast<uint8_t>(payload[i]));
      hex += b;
    }
    static const char* kEnds[] = {"ok", "long", "cut"};
    Add("{sb " + std::to_string(option) + " " + hex + " " + kEnds[end] + "}");
  }
  size_t Feed(TTelnetDecoder& decoder, const std::string& bytes, size_t from = 0) {
    chunk = bytes.data();
    chunkLen = bytes.size();
    return from + decoder.Feed(bytes.data() + from, bytes.size() - from);
  }

 private:
  void Add(const std::string& event) { log += event; }
};

// The log of the input fed in chunks ending at the given positions.
std::string Decode(const std::string& input, const std::vector<size_t>& cuts) {
  Recorder recorder;
  TTelnetDecoder decoder(recorder);
  size_t from = 0;
  for (size_t cut : cuts) {
    std::string chunk = input.substr(from, cut - from);  // a buffer of its own, as a read gives
    EXPECT_EQ(recorder.Feed(decoder, chunk), chunk.size());
    from = cut;
  }
  std::string rest = input.substr(from);
  recorder.Feed(decoder, rest);
  EXPECT_FALSE(decoder.InCommand()) << "input ends inside a command";
  return recorder.log;
}

std::string Iac(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

struct Case {
  std::string input;
  std::string expected;
};

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      {"plain text\r\n", "plain text\r\n"},
      {"P" + Iac({255, 255}) + "ZQ\r", "P\xffZQ\r"},                  // a password with a 255
      {Iac({255, 255, 255, 255}), "\xff\xff"},
      {"a" + Iac({255, 'x', 255, 0, 255, 239}) + "b", "a\xffx\xff"s + '\0' + "\xff\xef" "b"},
      {Iac({255, 251, 1, 255, 252, 3, 255, 253, 44, 255, 254, 0}), "{251 1}{252 3}{253 44}{254 0}"},
      {Iac({255, 251, 255}), "{251 255}"},
      {"x" + Iac({255, 250, 44, 1, 0, 0, 37, 128, 255, 240}) + "y", "x{sb 44 0100002580 ok}y"},
      {Iac({255, 250, 44, 5, 255, 255, 7, 255, 240}), "{sb 44 05ff07 ok}"},
      {Iac({255, 250, 24, 255, 240}), "{sb 24  ok}"},
      {Iac({255, 250, 24, 'a', 255, 'b', 255, 240}), "{sb 24 61ff62 ok}"},
      // A subnegotiation without IAC SE ends at the next command, which is read as usual.
      {Iac({255, 250, 24, 'a', 255, 251, 3}) + "z", "{sb 24 61 cut}{251 3}z"},
      {Iac({255, 250, 24, 255, 250, 31, 0, 80, 255, 240}), "{sb 24  cut}{sb 31 0050 ok}"},
      {Iac({255, 250, 24, 255, 241}) + "q", "{sb 24  cut}{cmd 241}q"},
      // PuTTY's opening negotiations.
      {Iac({255, 251, 31, 255, 251, 32, 255, 251, 24, 255, 251, 39, 255, 253, 1, 255, 251, 3, 255,
            253, 3}),
       "{251 31}{251 32}{251 24}{251 39}{253 1}{251 3}{253 3}"},
  };
  // Every command (a stray SE included) between data bytes.
  for (int c = kSe; c <= kGa; ++c) {
    cases.push_back({"a" + Iac({255, c}) + "b", "a{cmd " + std::to_string(c) + "}b"});
  }
  // A payload past the bound is cut to it, and read to its end.
  std::string hex;
  for (size_t i = 0; i < TTelnetDecoder::kMaxSubnegotiation; ++i) hex += "65";
  cases.push_back({Iac({255, 250, 39}) + std::string(300, 'e') + Iac({255, 240}) + "k",
                   "{sb 39 " + hex + " long}k"});
  return cases;
}

TEST(TelnetDecoderTest, SameEventsWhateverTheChunking) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.expected);
    const size_t n = c.input.size();
    EXPECT_EQ(Decode(c.input, {}), c.expected);
    std::vector<size_t> bytewise;
    for (size_t i = 1; i < n; ++i) bytewise.push_back(i);
    EXPECT_EQ(Decode(c.input, bytewise), c.expected);
    // Every split in two and in three (empty chunks included; in a long input the second cut
    // stays near the first).
    for (size_t i = 0; i <= n; ++i) {
      for (size_t j = i; j <= std::min(n, n > 64 ? i + 8 : n); ++j) {
        ASSERT_EQ(Decode(c.input, {i, j}), c.expected) << "cut at " << i << " and " << j;
      }
    }
  }
}

TEST(TelnetDecoderTest, HoldsACommandCutAtTheEndOfARead) {
  Recorder recorder;
  TTelnetDecoder decoder(recorder);
  EXPECT_EQ(recorder.Feed(decoder, "ab\xff"), 3u);
  EXPECT_TRUE(decoder.Holding());
  EXPECT_EQ(recorder.log, "ab");
  recorder.Feed(decoder, "\xfb");
  EXPECT_TRUE(decoder.InCommand());
  EXPECT_FALSE(decoder.Holding());
  recorder.Feed(decoder, "\x01" "c\xff");
  decoder.Reset();  // the lone IAC is forgotten
  recorder.Feed(decoder, "d");
  EXPECT_EQ(recorder.log, "ab{251 1}cd");
}

// A handler that stops taking data at any byte gets back where to go on; feeding the rest to the
// decoder gives exactly the events not yet delivered, whatever the chunking.
TEST(TelnetDecoderTest, StoppingAtAnyByteLosesNothing) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.expected);
    const size_t n = c.input.size();
    for (size_t cut = 0; cut <= n; ++cut) {
      for (size_t budget = 0; budget <= 8; ++budget) {
        Recorder recorder;
        recorder.budget = budget;
        TTelnetDecoder decoder(recorder);
        const std::string chunks[] = {c.input.substr(0, cut), c.input.substr(cut)};
        for (const std::string& chunk : chunks) {
          size_t done = recorder.Feed(decoder, chunk);
          if (done < chunk.size()) {
            EXPECT_EQ(recorder.budget, 0u);
            recorder.budget = SIZE_MAX;
            done = recorder.Feed(decoder, chunk, done);
          }
          ASSERT_EQ(done, chunk.size());
        }
        ASSERT_EQ(recorder.log, c.expected) << "cut at " << cut << ", budget " << budget;
      }
    }
  }
}

// What a console does: Telnet until the login line ends, every byte ordinary after it.
TEST(TelnetDecoderTest, CallerReadsTheRestItselfAfterStopping) {
  struct LineReader : Recorder {
    size_t OnData(const char* data, size_t len) override {
      const void* cr = std::memchr(data, '\r', len);
      size_t take = cr ? static_cast<const char*>(cr) - data + 1 : len;
      log.append(data, take);
      return take;
    }
  } reader;
  TTelnetDecoder decoder(reader);
  const std::string chunk = Iac({255, 253, 1}) + "P\xff\xffZ\rQ\xff\xff\xff\xfb\x01";
  const size_t done = reader.Feed(decoder, chunk);
  EXPECT_EQ(reader.log, "{253 1}P\xffZ\r");
  EXPECT_EQ(chunk.substr(done), "Q\xff\xff\xff\xfb\x01");
}

TEST(TelnetDecoderTest, EscapingDoublesEvery255BothWays) {
  std::mt19937 random(7);
  std::vector<std::string> inputs = {"", "a", "\xff", "\xff\xff", "a\xff" "b\xff", "\xff" "abc"};
  std::string all;
  for (int i = 0; i < 4096; ++i) all += static_cast<char>(i % 256);
  std::shuffle(all.begin(), all.end(), random);
  inputs.push_back(all);
  for (const std::string& in : inputs) {
    std::string expected;
    for (char ch : in) expected += ch == '\xff' ? "\xff\xff" : std::string(1, ch);
    std::string spans;
    ForEachEscapedSpan(in.data(), in.size(), [&](const char* span, size_t len) {
      EXPECT_GT(len, 0u);
      EXPECT_TRUE(span >= in.data() && span + len <= in.data() + in.size());  // no copy
      spans.append(span, len);
    });
    EXPECT_EQ(spans, expected);
    std::string out = "x";
    AppendEscaped(out, in);
    EXPECT_EQ(out, "x" + expected);
    // And back, in random chunks.
    std::vector<size_t> cuts;
    for (size_t at = 0; at < expected.size(); at += 1 + random() % 700) cuts.push_back(at);
    EXPECT_EQ(Decode(expected, cuts), in);
  }
}

TEST(TelnetDecoderTest, BuiltCommandsReadBack) {
  EXPECT_EQ(TelnetCommand(kNop), Iac({255, 241}));
  EXPECT_EQ(TelnetNegotiation(kDont, kEcho), Iac({255, 254, 1}));
  const std::string sb = TelnetSubnegotiation(kComPort, Iac({101, 0, 255, 3}));
  EXPECT_EQ(sb, Iac({255, 250, 44, 101, 0, 255, 255, 3, 255, 240}));
  EXPECT_EQ(Decode(TelnetNegotiation(kWill, kBinary) + sb + TelnetCommand(kAyt), {}),
            "{251 0}{sb 44 6500ff03 ok}{cmd 246}");
}

}  // namespace
}  // namespace kov
