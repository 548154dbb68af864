// ConnectServer and DisconnectServer with the real channels and remote link on the in-memory
// serial layer; the remote server is a plain listening socket of the test.
#include <string>

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "tests/support/MemorySerial.h"
#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\rBridge:\\>";
const std::string kBadParams = "TermError: Bad parameters.\n\r\n\rBridge:\\>";

class LinkCommandsTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    for (PortSettings& settings : config.Ports) settings.TcpPort = FreeTcpPort();
    link.RemotePort = server.Port();
    terminal->Attach(&bridges, &link);
    client = LoggedIn();
  }
  void TearDown() override {
    client.reset();
    TerminalTest::TearDown();
  }
  std::string Reply(const std::string& line) { return ReplyOf(*client, line); }
  int OpenedChannels() {
    int n = 0;
    for (int i = 0; i < 8; ++i) n += bridges.Channel(i).Opened;
    return n;
  }
  int ActiveFlags() {
    int n = 0;
    for (const PortSettings& settings : config.Ports) n += settings.Active;
    return n;
  }

  TcpListener server{0};  // the remote bridge server; it never reads
  MemorySerial serial{loop};
  TBridges bridges{loop, serial, config};
  TBridgeClientChanel link{loop, serial, bridges, [this](const std::string& text) {
                             if (terminal) terminal->SendToConsole(text);
                           }};
  std::unique_ptr<TcpClient> client;
};

TEST_F(LinkCommandsTest, ConnectServerStopsTheChannelsAndTheLinkAnswersLater) {
  EXPECT_EQ(Reply("Start 1"), kOk);
  EXPECT_EQ(Reply("Start 4"), kOk);
  const std::string line = "ConnectServer 2\r\n";
  client->Send(line);
  // No reply of its own: the link writes the OK once the connection is up.
  EXPECT_EQ(client->ReadExactly((line + kOk).size()), line + kOk);
  EXPECT_EQ(link.Connected, 1);
  EXPECT_EQ(link.PortIndex, 1);
  EXPECT_EQ(OpenedChannels(), 0);
  EXPECT_EQ(ActiveFlags(), 0);

  // A second ConnectServer drops the running link first.
  client->Send("ConnectServer 3\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"), "ConnectServer 3\r\n" + kOk);
  EXPECT_EQ(link.PortIndex, 2);

  EXPECT_EQ(Reply("DisconnectServer"), kOk);
  EXPECT_EQ(link.Connected, 0);
  EXPECT_EQ(OpenedChannels(), 8);  // every port tried and opened
  EXPECT_EQ(ActiveFlags(), 8);
}

TEST_F(LinkCommandsTest, ConnectServerToANamedHost) {
  client->Send("ConnectServer 5 127.0.0.1\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"), "ConnectServer 5 127.0.0.1\r\n" + kOk);
  EXPECT_EQ(link.Connected, 1);
  EXPECT_EQ(link.PortIndex, 4);
}

TEST_F(LinkCommandsTest, ConnectServerWhoseSerialPortCannotOpen) {
  EXPECT_EQ(Reply("Start 1"), kOk);
  serial.FailWith("SioReset", 2, -2);
  EXPECT_EQ(Reply("ConnectServer 3"), " ERROR: Can't open Serial Port COM3\n\rBridge:\\>");
  EXPECT_EQ(link.Connected, 0);
  EXPECT_EQ(OpenedChannels(), 0);
  EXPECT_EQ(ActiveFlags(), 0);
  EXPECT_EQ(terminal->LoggedIn, 1);
}

TEST_F(LinkCommandsTest, ConnectServerThatIsRefusedRestartsTheChannels) {
  link.RemotePort = FreeTcpPort();
  client->Send("ConnectServer 1 127.0.0.1\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"),
            "ConnectServer 1 127.0.0.1\r\n ERROR: Socket error 10061\n\rBridge:\\>");
  EXPECT_EQ(link.Connected, 0);
  EXPECT_EQ(OpenedChannels(), 8);
}

TEST_F(LinkCommandsTest, ConnectServerParameterChecks) {
  for (const char* line :
       {"ConnectServer 9", "ConnectServer 0", "ConnectServer", "ConnectServer a"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
  EXPECT_EQ(link.Connected, 0);
}

TEST_F(LinkCommandsTest, DisconnectServerWithoutALinkChangesNothing) {
  EXPECT_EQ(Reply("Start 2"), kOk);
  EXPECT_EQ(Reply("DisconnectServer"), kOk);
  EXPECT_EQ(OpenedChannels(), 1);
  EXPECT_EQ(ActiveFlags(), 1);
}

}  // namespace
}  // namespace kov
