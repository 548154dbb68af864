// The console commands on the channel set, with the real channels on the in-memory serial layer.
#include <string>

#include "bridge/Bridges.h"
#include "tests/support/MemorySerial.h"
#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\rBridge:\\>";
const std::string kBadParams = "TermError: Bad parameters.\n\r\n\rBridge:\\>";
const std::string kCannotOpen = "SerCommError: Cannot open port !\n\r\n\rBridge:\\>";
const std::string kAlreadyOpened = "SerCommError: Port already opened.\n\r\n\rBridge:\\>";

class ChannelCommandsTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    for (PortSettings& settings : config.Ports) settings.TcpPort = FreeTcpPort();
    terminal->Attach(&bridges, nullptr);
    client = LoggedIn();
  }
  void TearDown() override {
    client.reset();
    TerminalTest::TearDown();
  }
  std::string Reply(const std::string& line) { return ReplyOf(*client, line); }
  // A file holding the store's present settings with the given ports active.
  void WriteFileWithActive(std::initializer_list<int> activePorts) {
    TConfigFile file(dir.Path("BridgeConfig.sys"));
    file.Password = config.Password;
    file.ServicePort = config.ServicePort;
    file.Ports = config.Ports;
    for (PortSettings& settings : file.Ports) settings.Active = 0;
    for (int n : activePorts) file.Ports[static_cast<size_t>(n - 1)].Active = 1;
    ASSERT_EQ(file.Save(), 0);
  }

  MemorySerial serial{loop};
  TBridges bridges{loop, serial, config};
  std::unique_ptr<TcpClient> client;
};

TEST_F(ChannelCommandsTest, StartOpensTheChannelWithTheStoredSettings) {
  config.Ports[0].SpeedIndex = 5;
  config.Ports[0].ParityIndex = 1;
  EXPECT_EQ(Reply("Start 1"), kOk);
  EXPECT_EQ(bridges.Channel(0).Opened, 1);
  EXPECT_EQ(config.Ports[0].Active, 1);
  EXPECT_EQ(serial.BaudCode(0), 5);
  EXPECT_EQ(serial.Parity(0), 1);
  EXPECT_TRUE(bridges.Channel(0).Server.Active());
  EXPECT_EQ(bridges.Channel(0).Server.Port(), config.Ports[0].TcpPort);
  // The flag is the test: a second Start is refused.
  EXPECT_EQ(Reply("Start 1"), kAlreadyOpened);
  config.Ports[1].Active = 1;
  EXPECT_EQ(Reply("Start 2"), kAlreadyOpened);
  EXPECT_EQ(bridges.Channel(1).Opened, 0);
  for (const char* line : {"Start 9", "Start 0", "Start", "Start one"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
}

TEST_F(ChannelCommandsTest, StartThatCannotOpenReportsCannotOpenWhateverTheCode) {
  serial.FailWith("SioReset", 2, -1);
  EXPECT_EQ(Reply("Start 3"), kCannotOpen);
  EXPECT_EQ(config.Ports[2].Active, 0);
  serial.ClearFailures();
  serial.FailWith("SioBaud", 2, -12);
  EXPECT_EQ(Reply("Start 3"), kCannotOpen);
  EXPECT_EQ(config.Ports[2].Active, 0);
  serial.ClearFailures();
  // A TCP port that cannot be listened on.
  config.Ports[2].TcpPort = port;
  EXPECT_EQ(Reply("Start 3"), kCannotOpen);
  EXPECT_EQ(config.Ports[2].Active, 0);
  EXPECT_EQ(bridges.Channel(2).Opened, 0);
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(terminal->LoggedIn, 1);
}

TEST_F(ChannelCommandsTest, StopClosesAndClearsTheFlag) {
  EXPECT_EQ(Reply("Start 4"), kOk);
  EXPECT_EQ(Reply("Stop 4"), kOk);
  EXPECT_EQ(bridges.Channel(3).Opened, 0);
  EXPECT_EQ(config.Ports[3].Active, 0);
  EXPECT_FALSE(serial.IsOpen(3));
  // A port that is not running: the flag is cleared, the library's answer reported.
  config.Ports[4].Active = 1;
  EXPECT_EQ(Reply("Stop 5"), "SerCommError: Port not opened.\n\r\n\rBridge:\\>");
  EXPECT_EQ(config.Ports[4].Active, 0);
  // A close that fails.
  EXPECT_EQ(Reply("Start 6"), kOk);
  serial.FailWith("SioDone", 5, -10);
  EXPECT_EQ(Reply("Stop 6"), "SerCommError: Hardware error !\n\r\n\rBridge:\\>");
  EXPECT_EQ(config.Ports[5].Active, 0);
  serial.FailWith("SioDone", 5, -7);
  EXPECT_EQ(Reply("Stop 6"), "Unown Error !\n\r\n\rBridge:\\>");
  for (const char* line : {"Stop 9", "Stop -1", "Stop"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
}

TEST_F(ChannelCommandsTest, LoadConfigStartsAndStopsWhereTheFlagsChanged) {
  EXPECT_EQ(Reply("Start 1"), kOk);
  EXPECT_EQ(Reply("Start 2"), kOk);
  WriteFileWithActive({2, 3});
  EXPECT_EQ(Reply("LoadConfig"), kOk);
  EXPECT_EQ(bridges.Channel(0).Opened, 0);
  EXPECT_EQ(bridges.Channel(1).Opened, 1);
  EXPECT_EQ(bridges.Channel(2).Opened, 1);
  EXPECT_EQ(config.Ports[2].Active, 1);
}

TEST_F(ChannelCommandsTest, LoadConfigStopsAtTheFirstPortThatCannotOpen) {
  WriteFileWithActive({2, 3, 4});
  serial.FailWith("SioReset", 1, -2);
  EXPECT_EQ(Reply("LoadConfig"), "Port 2: " + kCannotOpen);
  EXPECT_EQ(config.Ports[1].Active, 0);
  // Ports after it are left as they were, flags as loaded.
  EXPECT_EQ(bridges.Channel(2).Opened, 0);
  EXPECT_EQ(config.Ports[2].Active, 1);
  EXPECT_EQ(config.Ports[3].Active, 1);
  EXPECT_NE(Reply("ShowConfig").find(" Port 3: Active"), std::string::npos);
}

TEST_F(ChannelCommandsTest, LoadConfigReportsAFailedClose) {
  EXPECT_EQ(Reply("Start 1"), kOk);
  WriteFileWithActive({});
  serial.FailWith("SioDone", 0, -3);
  EXPECT_EQ(Reply("LoadConfig"), "Port 1: SerCommError: Port not opened.\n\r\n\rBridge:\\>");
  EXPECT_EQ(bridges.Channel(0).Opened, 1);
}

TEST_F(ChannelCommandsTest, ShowConnectionAndShowTrafic) {
  std::string idle;
  for (int n = 1; n <= 8; ++n) idle += " Port " + std::to_string(n) + ": Idle\n\r";
  EXPECT_EQ(Reply("ShowConnection"),
            " ConfigurationPort:\n\r   Connection from TCP/IP Address: 127.0.0.1\n\r" + idle +
                "\n\rBridge:\\>");
  EXPECT_EQ(Reply("ShowTrafic"), idle + "\n\rBridge:\\>");

  EXPECT_EQ(Reply("Start 2"), kOk);
  TcpClient device(loop, config.Ports[1].TcpPort);
  ASSERT_TRUE(loop.RunUntil([&] { return bridges.Channel(1).Connected == 1; }));
  device.Send("12345");
  ASSERT_TRUE(loop.RunUntil([&] { return serial.TakeWritten(1).size() > 0; }));
  serial.Feed(1, "abc");
  EXPECT_EQ(device.ReadThrough("abc").substr(20), "abc");  // after the take-on notice
  loop.AdvanceMs(TBridgeChanel::kTrafficMs);

  std::string ports = " Port 1: Idle\n\r Port 2: Active\n\r";
  std::string rest;
  for (int n = 3; n <= 8; ++n) rest += " Port " + std::to_string(n) + ": Idle\n\r";
  EXPECT_EQ(Reply("ShowConnection"),
            " ConfigurationPort:\n\r   Connection from TCP/IP Address: 127.0.0.1\n\r" + ports +
                "   Connection from TCP/IP Address: 127.0.0.1\n\r" + rest + "\n\rBridge:\\>");
  EXPECT_EQ(Reply("ShowTrafic"), ports + "   SpeedTx (char/10sec.): 5\n\r" +
                                     "   SpeedRx (char/10sec.): 3\n\r" + rest + "\n\rBridge:\\>");
}

}  // namespace
}  // namespace kov
