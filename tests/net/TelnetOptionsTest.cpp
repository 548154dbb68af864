#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/TelnetCodes.h"
#include "net/TelnetDecoder.h"
#include "net/TelnetEncoder.h"
#include "net/TelnetOptions.h"

namespace kov {
namespace {

using namespace telnet;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// One end of a Telnet connection: what it receives is decoded and answered by its options.
struct End : TTelnetHandler {
  TTelnetOptions options;
  TTelnetDecoder decoder{*this};
  std::string out;  // bytes to send to the other end

  size_t OnData(const char*, size_t len) override { return len; }
  void OnNegotiation(uint8_t verb, uint8_t option) override {
    out += options.Receive(verb, option);
  }
  std::string Answer(const std::string& in) {
    out.clear();
    decoder.Feed(in.data(), in.size());
    return out;
  }
};

// What the console takes: it echoes and suppresses go-ahead, and nothing else.
TEST(TelnetOptionsTest, ConsoleAnswersPuttyAndTheRest) {
  End console;
  console.options.AllowLocal(kEcho);
  console.options.AllowLocal(kSuppressGoAhead);
  console.options.AllowRemote(kSuppressGoAhead);
  // The greeting's own IAC DONT ECHO, sent before any client byte, is recorded.
  EXPECT_EQ(console.options.Request(kDont, kEcho), "");
  EXPECT_EQ(console.Answer(Bytes({255, 251, 31, 255, 251, 32, 255, 251, 24, 255, 251, 39, 255, 253,
                                  1, 255, 251, 3, 255, 253, 3})),
            Bytes({255, 254, 31, 255, 254, 32, 255, 254, 24, 255, 254, 39, 255, 251, 1, 255, 253, 3,
                   255, 251, 3}));
  // Then, received in turn: the answer of each.
  const struct {
    int verb, option;
    std::string answer;
  } rows[] = {
      {kWont, kEcho, ""},  // the client's answer to the greeting
      {kDo, kEcho, ""},    // already on: no answer, no loop
      {kWill, kSuppressGoAhead, ""},
      {kWill, kWindowSize, Bytes({255, 254, 31})},  // asked again: refused again
      {kDo, kTerminalType, Bytes({255, 252, 24})},
      {kWill, kEcho, Bytes({255, 254, 1})},  // the client's echo is never taken
      {kDont, kBinary, ""},
      {kWont, kNewEnviron, ""},
      {kDont, kEcho, Bytes({255, 252, 1})},  // turns off what was on: acknowledged
      {kDont, kEcho, ""},
      {kWont, kSuppressGoAhead, Bytes({255, 254, 3})},
  };
  EXPECT_TRUE(console.options.LocalEnabled(kEcho));
  for (const auto& row : rows) {
    EXPECT_EQ(console.Answer(Bytes({255, row.verb, row.option})), row.answer)
        << "verb " << row.verb << " option " << row.option;
  }
  EXPECT_EQ(console.options.Receive(kSb, kEcho), "");  // not a negotiation
  EXPECT_FALSE(console.options.LocalEnabled(kEcho));
  EXPECT_TRUE(console.options.LocalEnabled(kSuppressGoAhead));
  EXPECT_FALSE(console.options.RemoteEnabled(kSuppressGoAhead));
}

TEST(TelnetOptionsTest, RequestsAnswersAndQueuedChanges) {
  TTelnetOptions options;
  // Offer, accepted: the answer is not answered.
  EXPECT_EQ(options.Request(kWill, kComPort), Bytes({255, 251, 44}));
  EXPECT_EQ(options.Request(kWill, kComPort), "");  // under way
  EXPECT_FALSE(options.LocalEnabled(kComPort));
  EXPECT_EQ(options.Receive(kDo, kComPort), "");
  EXPECT_TRUE(options.LocalEnabled(kComPort));
  EXPECT_EQ(options.Request(kWill, kComPort), "");  // already on
  // Ask, refused; asking again is a new request.
  EXPECT_EQ(options.Request(kDo, kBinary), Bytes({255, 253, 0}));
  EXPECT_EQ(options.Receive(kWont, kBinary), "");
  EXPECT_FALSE(options.RemoteEnabled(kBinary));
  EXPECT_EQ(options.Request(kDo, kBinary), Bytes({255, 253, 0}));
  EXPECT_EQ(options.Receive(kWill, kBinary), "");
  EXPECT_TRUE(options.RemoteEnabled(kBinary));
  // Changing our mind while asked: the reversal waits for the answer, then goes out.
  EXPECT_EQ(options.Request(kDont, kBinary), Bytes({255, 254, 0}));
  EXPECT_EQ(options.Request(kDo, kBinary), "");
  EXPECT_EQ(options.Receive(kWont, kBinary), Bytes({255, 253, 0}));
  EXPECT_EQ(options.Receive(kWill, kBinary), "");
  EXPECT_TRUE(options.RemoteEnabled(kBinary));
  EXPECT_EQ(options.Request(kDo, kEcho), Bytes({255, 253, 1}));
  EXPECT_EQ(options.Request(kDont, kEcho), "");
  EXPECT_EQ(options.Receive(kWill, kEcho), Bytes({255, 254, 1}));
  EXPECT_EQ(options.Receive(kWont, kEcho), "");
  EXPECT_FALSE(options.RemoteEnabled(kEcho));
  // ...and changing it back before the answer drops the reversal.
  EXPECT_EQ(options.Request(kWont, kComPort), Bytes({255, 252, 44}));
  EXPECT_EQ(options.Request(kWill, kComPort), "");
  EXPECT_EQ(options.Request(kWont, kComPort), "");
  EXPECT_EQ(options.Receive(kDont, kComPort), "");
  EXPECT_FALSE(options.LocalEnabled(kComPort));
  // A peer answering our DONT with WILL is taken at its word, without a reply.
  EXPECT_EQ(options.Request(kDont, kBinary), Bytes({255, 254, 0}));
  EXPECT_EQ(options.Receive(kWill, kBinary), "");
  EXPECT_FALSE(options.RemoteEnabled(kBinary));
  EXPECT_EQ(options.Request(kDo, kBinary), Bytes({255, 253, 0}));
  EXPECT_EQ(options.Receive(kWill, kBinary), "");
  EXPECT_EQ(options.Request(kDont, kBinary), Bytes({255, 254, 0}));
  EXPECT_EQ(options.Request(kDo, kBinary), "");   // wanted back: so it stays on
  EXPECT_EQ(options.Receive(kWill, kBinary), "");
  EXPECT_TRUE(options.RemoteEnabled(kBinary));
}

// Two ends changing their minds at random, bytes crossing on the wire: once all is delivered they
// agree on every option, an option one end refuses and never asks for stays off, and the exchange
// always ends.
TEST(TelnetOptionsTest, TwoEndsAlwaysSettleAndAgree) {
  std::mt19937 random(11);
  const uint8_t kOptions[] = {kBinary, kEcho, kSuppressGoAhead, kComPort, kTerminalType};
  const uint8_t kVerbs[] = {kWill, kWont, kDo, kDont};
  for (int round = 0; round < 300; ++round) {
    End a, b;
    for (uint8_t option : kOptions) {
      a.options.AllowLocal(option, option != kEcho);
      a.options.AllowRemote(option);
      b.options.AllowLocal(option, option != kTerminalType);
      b.options.AllowRemote(option, option != kTerminalType && option != kComPort);
    }
    std::string toA, toB;
    auto deliver = [&](End& end, std::string& wire, std::string& back, size_t n) {
      n = std::min(n, wire.size());
      back += end.Answer(wire.substr(0, n));
      wire.erase(0, n);
    };
    for (int step = 0; step < 40; ++step) {
      switch (random() % 4) {
        case 0:
          toB += a.options.Request(kVerbs[random() % 4], kOptions[random() % 5]);
          break;
        case 1:
          toA += b.options.Request(kVerbs[random() % 4], kOptions[random() % 4]);  // never TTYPE
          break;
        case 2:
          deliver(b, toB, toA, random() % 7);
          break;
        default:
          deliver(a, toA, toB, random() % 7);
      }
    }
    int turns = 0;
    while (!toA.empty() || !toB.empty()) {
      ASSERT_LT(++turns, 20) << "negotiation loops in round " << round;
      deliver(b, toB, toA, toB.size());
      deliver(a, toA, toB, toA.size());
    }
    for (uint8_t option : kOptions) {
      SCOPED_TRACE("round " + std::to_string(round) + ", option " + std::to_string(option));
      EXPECT_EQ(a.options.LocalEnabled(option), b.options.RemoteEnabled(option));
      EXPECT_EQ(a.options.RemoteEnabled(option), b.options.LocalEnabled(option));
    }
    EXPECT_FALSE(b.options.LocalEnabled(kTerminalType));
    EXPECT_FALSE(b.options.RemoteEnabled(kTerminalType));
  }
}

}  // namespace
}  // namespace kov
