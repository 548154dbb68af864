#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/bridge/Rfc2217TestSupport.h"
#include "tests/support/Pattern.h"

namespace kov {
namespace {

using namespace std::string_literals;

// Every byte value, runs of 255 among them and at both ends.
const std::string kEveryByte = "\xff" + PatternBytes(256) + "\xff\xff\xff" + "a\xff";

TEST(Rfc2217DataTest, DeviceBytesReachTheClientWith255Doubled) {
  Rfc2217Harness h;
  h.TakeClient();
  std::vector<const char*> sent;
  h.session.OnClientBytes = [&](const char* p, size_t n) {
    sent.push_back(p);
    h.client.append(p, n);
  };
  const std::string plain = PatternBytes(4096).substr(0, 255);  // 0..254
  h.session.SendDeviceData(plain.data(), plain.size());
  h.session.SendDeviceData(kEveryByte.data(), kEveryByte.size());
  h.session.SendDeviceData(kEveryByte.data(), 0);
  EXPECT_EQ(h.client, plain + Doubled(kEveryByte));
  ASSERT_EQ(sent.size(), 2u);  // one call each, the caller's buffer itself without a 255
  EXPECT_EQ(sent[0], plain.data());
}

TEST(Rfc2217DataTest, ClientBytesReachTheDeviceUndoubledInEveryChunking) {
  // IAC and an ordinary byte, and IAC and a command between data, are both bytes or none.
  const std::string input = Doubled(kEveryByte) + "\xff\x41" + "x\xff\xf1y" + Doubled("\xff");
  const std::string expected = kEveryByte + "\xff\x41" + "xy\xff";
  ForEachChunking(input.size(), [&](const std::vector<size_t>& cuts) {
    Rfc2217Harness h;
    h.Feed(input, cuts);
    ASSERT_EQ(h.device, expected);
    EXPECT_LE(h.deviceCalls, static_cast<int>(cuts.size()) + 2);  // not a call per byte
  });
}

// The client's stream (data with 255s among option commands) read with a device that takes a
// few bytes at a time: the caller stops feeding when the room runs out, keeps the rest and feeds
// it again later. Nothing is lost or reordered, and the line is changed only after the data that
// came before the command reached the device.
TEST(Rfc2217DataTest, DeviceRoomStopsTheFeedAndNothingIsLost) {
  std::string input, expected, answers;
  std::vector<size_t> dataBeforeRate;
  const uint32_t rates[] = {1200, 19200, 115200, 4800};
  for (int i = 0; i < 4; ++i) {
    const std::string data = PatternBytes(700, i + 1);
    const uint32_t rate = rates[i];
    const std::string value = {char(1), 0, char(rate >> 16), char(rate >> 8), char(rate)};
    input += Doubled(data) + Sb(value) + "\xff\xfd\x00"s;
    expected += data;
    dataBeforeRate.push_back(expected.size());
    answers += Sb("\x65"s + value.substr(1)) + (i == 0 ? "\xff\xfb\x00"s : "");
  }
  {
    // No room at all: the commands before the data are read, the data waits.
    Rfc2217Harness h;
    const std::string head = "\xff\xfb\x2c" + Sb("\x01\x00\x00\x00\x00"s);
    const std::string rest = input.substr(0, 5);
    EXPECT_EQ(h.session.FeedFromClient((head + rest).data(), head.size() + rest.size(), 0),
              head.size());
    EXPECT_EQ(h.client.size(), 6 + Sb("\x65\x00\x00\x25\x80"s).size());
    EXPECT_EQ(h.device, "");
  }
  std::mt19937 random(7);
  for (int run = 0; run < 200; ++run) {
    Rfc2217Harness h;
    h.Feed("\xff\xfb\x2c");
    h.TakeClient();
    std::vector<size_t> appliedAt;
    h.line.onApply = [&] { appliedAt.push_back(h.device.size()); };
    size_t from = 0;
    std::string pending;  // read from the network, not yet taken
    while (from < input.size() || !pending.empty()) {
      const size_t n = std::min<size_t>(random() % 300, input.size() - from);
      pending += input.substr(from, n);
      from += n;
      const size_t room = random() % 64;
      const size_t used = h.session.FeedFromClient(pending.data(), pending.size(), room);
      ASSERT_LE(used, pending.size());
      pending.erase(0, used);
    }
    ASSERT_EQ(h.device, expected);
    EXPECT_EQ(h.client, answers);
    EXPECT_EQ(appliedAt, dataBeforeRate);
  }
}

}  // namespace
}  // namespace kov
