// A channel of a port with protocol=rfc2217 on the in-memory serial layer, with real loopback
// sockets: the client drives the line and the modem lines through the serial layer's seam, data
// passes with 255 doubled on the wire, a pause holds the device's bytes, no notice goes out, the
// port takes its own line back when the client leaves; and the modem-line watch runs only while
// a client asks for it on a line that can tell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/BridgeChanel.h"
#include "bridge/Rfc2217Connection.h"
#include "bridge/SerialRelay.h"
#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

using namespace std::string_literals;

const std::string kOffer = "\xff\xfd\x2c\xff\xfb\x2c";  // DO, WILL COM-PORT-OPTION
const std::string kAgree = "\xff\xfb\x2c\xff\xfd\x2c";  // the client's WILL, DO

// IAC SB COM-PORT-OPTION <payload> IAC SE
std::string Sb(const std::string& payload) { return "\xff\xfa\x2c" + payload + "\xff\xf0"; }

PortTable Rfc2217Table() {
  PortLineList lines = DefaultPortLines();
  lines[0].path = "memory:COM1";
  lines[0].options.protocol = PortProtocol::Rfc2217;
  return PortTable(lines);
}

class Rfc2217Channel : public ::testing::Test {
 protected:
  Rfc2217Channel() { config.Ports[0].TcpPort = port; }

  // Opens COM1 at 115200 without parity and bridges a client that agreed to the option.
  void Bridge(TcpClient& client) {
    ASSERT_EQ(channel.Open(9, 0, port), 0);
    ASSERT_TRUE(client.Connect(port));
    ASSERT_EQ(client.ReadExactly(kOffer.size()), kOffer);
    ASSERT_TRUE(client.Send(kAgree));
  }
  // Sends a command; returns the answer of the given length.
  std::string Ask(TcpClient& client, const std::string& payload, size_t answer) {
    client.Send(Sb(payload));
    return client.ReadExactly(answer);
  }

  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop, Rfc2217Table()};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  LogCapture log;
  int port = FreeTcpPort();
  TBridgeChanel channel{loop, serial, config, 0};
};

TEST_F(Rfc2217Channel, AClientDrivesTheLineAndThePortTakesItsOwnBack) {
  TcpClient client(loop);
  Bridge(client);
  // The line, answered with what it took.
  EXPECT_EQ(Ask(client, "\x01\x00\x00\x25\x80"s, 10), Sb("\x65\x00\x00\x25\x80"s));
  EXPECT_EQ(Ask(client, "\x03\x03", 7), Sb("\x67\x03"));
  EXPECT_EQ(Ask(client, "\x04\x02", 7), Sb("\x68\x02"));
  // DTR, RTS and BREAK through the serial layer's seam.
  EXPECT_EQ(Ask(client, "\x05\x09", 7), Sb("\x69\x09"));
  EXPECT_EQ(Ask(client, "\x05\x0c", 7), Sb("\x69\x0c"));
  EXPECT_EQ(Ask(client, "\x05\x05", 7), Sb("\x69\x05"));
  LineSetting taken = serial.AppliedLine(0);
  EXPECT_EQ(DescribeLine(taken), "9600 8E2, dtr off, rts off");
  EXPECT_TRUE(serial.Break(0));
  const auto& calls = serial.Calls();
  for (const char* call : {"Dtr(0,off)=0", "Rts(0,off)=0", "Break(0,on)=0"}) {
    EXPECT_NE(std::find(calls.begin(), calls.end(), call), calls.end()) << call;
  }
  // A driver that refuses DTR: the answer is the state still in force.
  serial.FailWith("Signal", 0, kSioHardware);
  EXPECT_EQ(Ask(client, "\x05\x08", 7), Sb("\x69\x09"));
  serial.ClearFailures();
  EXPECT_EQ(Ask(client, "\x05\x07", 7), Sb("\x69\x09"));

  // Data both ways: 255 doubled on the wire only.
  ASSERT_TRUE(
      client.Send("a\xff\xff"
                  "b\0c"s));
  std::string written;
  ASSERT_TRUE(loop.RunUntil([&] { return (written += serial.TakeWritten(0)).size() >= 4; }));
  EXPECT_EQ(written,
            "a\xff"
            "b\0c"s);
  serial.Feed(0, "d\xff\0e"s);
  EXPECT_EQ(client.ReadExactly(5), "d\xff\xff\0e"s);

  // A pause: the device's bytes wait in the port until the client asks for more.
  client.Send(Sb("\x08"));
  EXPECT_EQ(Ask(client, "\x02\x00"s, 7), Sb("\x66\x08"));  // the pause has been read
  serial.Feed(0, "held");
  EXPECT_EQ(client.ReadFor(100), "");
  client.Send(Sb("\x09"));
  EXPECT_EQ(client.ReadExactly(4), "held");

  // A second client: closed without a byte, and the log says why.
  TcpClient second(loop);
  ASSERT_TRUE(second.Connect(port));
  std::string rest;
  EXPECT_TRUE(second.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 refused, the port is in use (rfc2217 port"), 1u)
      << log.All();

  // The client leaves: the port has its own line again, BREAK ended.
  client.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return channel.Connected == 0; }));
  EXPECT_EQ(DescribeLine(serial.AppliedLine(0)), "115200 8N1");
  EXPECT_FALSE(serial.Break(0));
  EXPECT_EQ(log.Count("COM1 set to 115200 8N1 (memory:COM1)"), 1u) << log.All();

  // The next client starts afresh, with the offer and no notice.
  TcpClient next(loop);
  ASSERT_TRUE(next.Connect(port));
  EXPECT_EQ(next.ReadExactly(kOffer.size()), kOffer);
  EXPECT_EQ(next.ReadFor(50), "");
}

TEST_F(Rfc2217Channel, ModemLineChangesReachTheClientWhileItAsks) {
  ModemStatus lines{.known = true, .counted = true};
  serial.SetModemStatus(0, lines);
  TcpClient client(loop);
  Bridge(client);
  EXPECT_EQ(client.ReadExactly(7), Sb("\x6b\x00"s));  // the first view
  lines.cts = true;
  lines.ctsChanges = 1;
  serial.SetModemStatus(0, lines);
  loop.AdvanceMs(Rfc2217Connection::kModemPollMs);
  EXPECT_EQ(client.ReadExactly(7), Sb("\x6b\x11"));  // CTS, and that it changed
  // A ring between two polls, seen only in the driver's count: told as up and down again.
  lines.riChanges = 2;
  serial.SetModemStatus(0, lines);
  loop.AdvanceMs(Rfc2217Connection::kModemPollMs);
  EXPECT_EQ(client.ReadExactly(14), Sb("\x6b\x50") + Sb("\x6b\x14"));
  // The client wants to hear nothing more.
  EXPECT_EQ(Ask(client, "\x0b\x00"s, 7), Sb("\x6f\x00"s));
  lines.cts = false;
  lines.ctsChanges = 2;
  serial.SetModemStatus(0, lines);
  loop.AdvanceMs(4 * Rfc2217Connection::kModemPollMs);
  EXPECT_EQ(client.ReadFor(50), "");
}

TEST_F(Rfc2217Channel, ASlowDeviceHoldsTheClientBackAndLosesNothing) {
  serial.SetTxCapacity(0, 16);
  TcpClient client(loop);
  Bridge(client);
  // Data with doubled 255s around commands, far more than the transmit ring holds.
  std::string sent;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string data = "<" + std::to_string(i) + "\xff\xff>";
    sent += data + (i % 7 == 0 ? Sb("\x02\x00"s) : "");
    expected += "<" + std::to_string(i) + "\xff>";
  }
  ASSERT_TRUE(client.Send(sent));
  std::string written;
  ASSERT_TRUE(loop.RunUntil([&] {
    serial.DrainTx(0, 5);
    written += serial.TakeWritten(0);
    return written.size() >= expected.size();
  }));
  EXPECT_EQ(written, expected);
  // Every query answered, in order.
  std::string answers;
  for (int i = 0; i < 200; i += 7) answers += Sb("\x66\x08"s);
  EXPECT_EQ(client.ReadExactly(answers.size()), answers);
}

TEST_F(Rfc2217Channel, ADeviceThatVanishesEndsTheConnectionWithoutText) {
  TcpClient client(loop);
  Bridge(client);
  EXPECT_EQ(Ask(client, "\x01\x00\x00\x25\x80"s, 10), Sb("\x65\x00\x00\x25\x80"s));
  serial.Feed(0, "last\xff");
  serial.Unplug(0);
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "last\xff\xff");  // the device's last bytes, and no notice
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go (its device went away)"), 1u) << log.All();
  // Back again: the port's own line, and a client is bridged as before.
  serial.Plug(0);
  loop.AdvanceMs(1000);
  ASSERT_TRUE(loop.RunUntil([&] { return serial.IsOpen(0); }));
  EXPECT_EQ(DescribeLine(serial.AppliedLine(0)), "115200 8N1");
  TcpClient next(loop);
  ASSERT_TRUE(next.Connect(port));
  EXPECT_EQ(next.ReadExactly(kOffer.size()), kOffer);
}

TEST(Rfc2217Option, ParsedWithTheOtherOptionsAndABadValueKeepsThePortClosed) {
  std::vector<std::string> problems;
  const PortLineList lines = ParsePortLines(
      "COM1=/dev/ttyUSB0 protocol=rfc2217\nCOM2=/dev/ttyS1 PROTOCOL=Raw idle=0\n"
      "COM3=/dev/ttyS2 protocol=telnet\nCOM4=/dev/ttyS3\n",
      "BridgePorts.conf", &problems);
  EXPECT_EQ(lines[0].options.protocol, PortProtocol::Rfc2217);
  EXPECT_FALSE(lines[0].options.NoticesSent());
  EXPECT_EQ(lines[1].options.protocol, PortProtocol::Raw);
  EXPECT_EQ(lines[1].options.idleSeconds, 0);
  EXPECT_TRUE(lines[1].options.NoticesSent());
  EXPECT_EQ(lines[2].fault, "BridgePorts.conf line 3: bad value for protocol 'protocol=telnet'");
  EXPECT_EQ(lines[3].options.protocol, PortProtocol::Raw);
  ASSERT_EQ(problems.size(), 1u);

  // The port with the bad value does not open, and the log names the fault.
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop, PortTable(lines)};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  LogCapture log;
  TBridgeChanel channel{loop, serial, config, 2};
  EXPECT_EQ(channel.Open(5, 0, FreeTcpPort()), kSioCannotOpen);
  EXPECT_EQ(log.Count("COM3: bridge cannot open, BridgePorts.conf line 3: bad value for protocol"),
            1u)
      << log.All();
}

// The watch itself: a timer only while a client with a mask is on a line that tells its lines.
TEST(Rfc2217Connection, ThePollRunsOnlyWhileSomethingAsks) {
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  SerialRelay relay(loop, serial, 0, {});
  ASSERT_EQ(relay.Open({SerialRelay::kQueueSize, SerialRelay::kQueueSize, LineSetting{}}), 0);
  const auto feed = [](Rfc2217Connection& rfc, const std::string& bytes) {
    return rfc.FromPeer(bytes.data(), bytes.size(), SIZE_MAX);
  };

  // A line that cannot tell its modem lines (a pseudo-terminal): never.
  serial.SetNoModemLines(0, true);
  {
    Rfc2217Connection rfc(loop, relay, "", [] { return nullptr; });
    rfc.Start();
    feed(rfc, kAgree);
    EXPECT_TRUE(rfc.Session().ComPortActive());
    EXPECT_FALSE(rfc.Polling());
  }
  serial.SetNoModemLines(0, false);
  serial.SetModemStatus(0, {.known = true});
  Rfc2217Connection rfc(loop, relay, "", [] { return nullptr; });
  rfc.Start();
  EXPECT_FALSE(rfc.Polling()) << "not before the option is on";
  EXPECT_EQ(feed(rfc, kAgree), kAgree.size());
  EXPECT_TRUE(rfc.Polling());
  feed(rfc, Sb("\x0b\x00"s));
  EXPECT_FALSE(rfc.Polling()) << "the client asked for nothing";
  feed(rfc, Sb("\x0b\x10"s));
  EXPECT_TRUE(rfc.Polling());
  rfc.Stop();
  EXPECT_FALSE(rfc.Polling());
}

}  // namespace
}  // namespace kov
