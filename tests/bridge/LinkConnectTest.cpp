// Connecting the remote link: the serial steps and their errors, a refused connection, a
// successful one, host names.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <stdexcept>

#include "LinkFixture.h"

namespace kov::linktest {
namespace {

std::string ConnectError(TBridgeClientChanel& link, int32_t port, const std::string& host) {
  try {
    link.Connect(port, host);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(nothing raised)";
}

struct SerialFailure {
  const char* operation;
  const char* text;
};

class LinkSerialFailureTest : public LinkTest,
                              public ::testing::WithParamInterface<SerialFailure> {};

TEST_P(LinkSerialFailureTest, RaisesItsTextAndMakesNoConnection) {
  StopChannels();
  serial.FailWith(GetParam().operation, kPort, kSioCannotOpen);

  EXPECT_EQ(ConnectError(link, kPort, "127.0.0.1"), GetParam().text);
  EXPECT_EQ(link.Connected, 0);
  EXPECT_EQ(link.PortIndex, kPort);
  EXPECT_EQ(link.Socket.Socket().NativeHandle(), -1) << "no socket was made";
  EXPECT_FALSE(server.Accept(loop, 200).Connected()) << "no TCP connection was attempted";
  EXPECT_TRUE(console.empty());
  EXPECT_FALSE(link.Relay().Moving());
  // The channels stay closed as ConnectServer left them; the console command reports the text.
  EXPECT_EQ(ChannelsOpened(), 0);
  EXPECT_EQ(ActiveFlags(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LinkSerialFailureTest,
    ::testing::Values(SerialFailure{"SioReset", "Can't open Serial Port COM3"},
                      SerialFailure{"SioParms", "Can't apply Serial Port params for COM3"},
                      SerialFailure{"SioBaud", "Can't apply Serial Port speed for COM3"}),
    [](const auto& info) { return std::string(info.param.operation); });

TEST_F(LinkTest, PortNumberInTheTextIsTheConsoleNumber) {
  serial.FailWith("SioReset", 7, kSioCannotOpen);
  EXPECT_EQ(ConnectError(link, 7, "127.0.0.1"), "Can't open Serial Port COM8");
  EXPECT_EQ(ConnectError(link, 8, "127.0.0.1"), "Can't open Serial Port COM9");
}

TEST_F(LinkTest, RefusedConnectionReportsClosesThePortAndRestartsTheChannels) {
  TcpListener nobody = TcpListener::Refusing();
  link.RemotePort = nobody.Port();
  StopChannels();

  EXPECT_FALSE(link.Connect(kPort, "127.0.0.1"));
  EXPECT_TRUE(serial.IsOpen(kPort));
  ASSERT_TRUE(loop.RunUntil([&] { return !console.empty(); }));
  loop.RunOnce(0);

  EXPECT_EQ(console, std::vector<std::string>{" ERROR: Socket error 10061\n\rBridge:\\>"});
  EXPECT_EQ(link.Connected, 0);
  EXPECT_FALSE(link.Relay().Moving());
  EXPECT_FALSE(link.Socket.Active());
  EXPECT_EQ(CallCount("SioDone(2)=0"), 1u);
  // StartAll: every channel opened again and marked active, the link's port included.
  EXPECT_EQ(ChannelsOpened(), 8);
  EXPECT_EQ(ActiveFlags(), 8);
  EXPECT_EQ(log.Count("socket error 10061"), 1u);
}

TEST_F(LinkTest, SuccessfulConnectionSaysOkOnceAndStartsTheRelay) {
  StopChannels();
  EXPECT_FALSE(link.Connect(kPort, "127.0.0.1"));
  EXPECT_EQ(link.Connected, 0);
  EXPECT_TRUE(console.empty()) << "the outcome comes with the connect event";

  TcpClient peer = server.Accept(loop);
  ASSERT_TRUE(peer.Connected());
  ASSERT_TRUE(loop.RunUntil([&] { return link.Connected == 1; }));
  loop.RunUntil([] { return false; }, 50);

  EXPECT_EQ(console, std::vector<std::string>{kOk});
  EXPECT_TRUE(link.Socket.Active());
  EXPECT_TRUE(link.Relay().Moving());
  EXPECT_EQ(link.Relay().PollTimer.Interval(), 50);
  EXPECT_FALSE(link.Relay().PollTimer.Enabled()) << "nothing moves: the poll sleeps";
  EXPECT_EQ(ChannelsOpened(), 0) << "the local channels stay stopped while linked";
  EXPECT_EQ(log.Count("connected to 127.0.0.1:" + std::to_string(server.Port())), 1u);
}

TEST_F(LinkTest, PortRunsAt115200EvenWhateverItsSettingsWithTheRestOfItsLine) {
  config.Ports[kPort].SpeedIndex = 3;
  config.Ports[kPort].ParityIndex = 0;
  PortLine line = serial.Ports().Line(kPort);
  line.options.dataBits = 7;
  line.options.stopBits = 2;
  line.options.flow = FlowControl::RtsCts;
  line.options.dtr = false;
  line.options.keepaliveSeconds = 5;
  serial.Ports().SetLine(kPort, line);
  StopChannels();
  auto peer = ConnectLinked();

  const std::vector<std::string> expected = {"SioReset(2,65000,65000)=0",
                                             "Line(2,115200 7E2, rtscts)=0", "Dtr(2,off)=0"};
  const auto& calls = serial.Calls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()), expected);
  EXPECT_EQ(serial.BaudCode(kPort), 9);
  EXPECT_EQ(serial.Parity(kPort), 2);
  EXPECT_EQ(serial.StopBits(kPort), 1);
  EXPECT_EQ(serial.DataBits(kPort), 7);
  int idle = 0;
  socklen_t size = sizeof idle;
  getsockopt(link.Socket.Socket().NativeHandle(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
  EXPECT_EQ(idle, 5) << "the link's connection has the port's keepalive";

  // A fault in the port's line keeps the link from opening it at all.
  link.Disconnect();
  line.fault = "BridgePorts.conf line 3: unknown option 'speed=1'";
  serial.Ports().SetLine(kPort, line);
  EXPECT_EQ(ConnectError(link, kPort, "127.0.0.1"), "Can't open Serial Port COM3");
  EXPECT_FALSE(serial.IsOpen(kPort));
  EXPECT_EQ(log.Count("Remote server link: COM3 cannot open, BridgePorts.conf line 3: unknown "
                      "option 'speed=1'"),
            1u);
}

TEST_F(LinkTest, HostNameIsLookedUp) {
  StopChannels();
  auto peer = ConnectLinked("localhost");
  EXPECT_EQ(console, std::vector<std::string>{kOk});
  EXPECT_EQ(link.Socket.Socket().PeerAddress(), "127.0.0.1");
}

TEST_F(LinkTest, SocketThatCannotStartRaisesTheConnectionText) {
  StopChannels();
  auto peer = ConnectLinked();
  // While connected the socket refuses another host.
  EXPECT_EQ(ConnectError(link, kPort, "127.0.0.2"), "Error opening TCP/IP Connection to 127.0.0.2");
  EXPECT_EQ(link.Socket.Host(), "127.0.0.1") << "a connected socket keeps its host";
}

TEST_F(LinkTest, ConnectAfterDisconnectStartsAfresh) {
  StopChannels();
  auto first = ConnectLinked();
  link.Disconnect();
  ASSERT_TRUE(first->WaitClosed());

  auto second = ConnectLinked();
  EXPECT_EQ(console, (std::vector<std::string>{kOk, kOk}));
  EXPECT_TRUE(second->Send(std::string("x\0y", 3)));
  std::string written;
  loop.RunUntil([&] {
    written += serial.TakeWritten(kPort);
    return written.size() >= 3;
  });
  EXPECT_EQ(written, std::string("x\0y", 3));
}

}  // namespace
}  // namespace kov::linktest
