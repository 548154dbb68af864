// The real headless program doing its main job, from its entry: pseudo-terminals as serial
// devices named in BridgePorts.conf, a BridgeConfig.sys with active ports, a console session and
// the remote link to a test server.
#include <gtest/gtest.h>

#include <string>

#include "config/ConfigFile.h"
#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\rBridge:\\>";

// Pseudo-terminals as COM1, COM2 and COM4, COM1 and COM2 active, COM3 active but without a
// device: start-up clears its flag in memory.
class Bench : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.config.Ports[1].Active = 1;
    bench.config.Ports[1].SpeedIndex = 5;
    bench.NameDevice(3, bench.dir.Path("not-a-device"));  // a plain file: never a device
    bench.dir.Write("not-a-device", "");
    bench.config.Ports[2].Active = 1;  // COM3 cannot open: start-up clears its flag in memory
    ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
    for (int i = 0; i < 8; ++i) tcpPorts[i] = bench.config.Ports[i].TcpPort;
  }

  std::string Login(TcpClient& console) {
    std::string greeting;
    EXPECT_TRUE(bench.Login(console, &greeting));
    return greeting;
  }
  static std::string Command(TcpClient& console, const std::string& line) {
    return ProgramBench::Command(console, line);
  }

  ProgramBench bench{{1, 2, 4}};
  Pty& com1 = bench.com1;
  Pty& com2 = bench.Device(2);
  int tcpPorts[8] = {};
};

TEST_F(Bench, ActivePortsAreBridgedFromStartUp) {
  TcpClient client;
  ASSERT_TRUE(WaitListening(tcpPorts[0]));
  ASSERT_TRUE(client.Connect(tcpPorts[0]));
  EXPECT_EQ(client.ReadExactly(20), kNoticeB01);

  std::string toDevice("req\0uest\xff", 9);
  ASSERT_TRUE(client.Send(toDevice));
  EXPECT_EQ(com1.ReadExactly(toDevice.size()), toDevice);
  std::string toClient("ans\0\0wer", 8);
  ASSERT_TRUE(com1.Write(toClient));
  EXPECT_EQ(client.ReadExactly(toClient.size()), toClient);

  // COM2 listens too; COM3 could not open and does not.
  TcpClient second;
  ASSERT_TRUE(second.Connect(tcpPorts[1]));
  EXPECT_EQ(second.ReadExactly(20), kNoticeB01);
  EXPECT_FALSE(IsListening(tcpPorts[2]));
}

TEST_F(Bench, ConsoleChangesAndSavesSettings) {
  TcpClient console;
  std::string greeting = Login(console);
  EXPECT_EQ(greeting.substr(0, 3), std::string("\xff\xfe\x01", 3));
  EXPECT_NE(greeting.find("  KOV Bridge Version: Ver.: "), std::string::npos) << greeting;

  std::string config = Command(console, "ShowConfig");
  EXPECT_NE(config.find(" Port 1: Active, TcpIpPort: " + std::to_string(tcpPorts[0]) +
                        ", Baud: 115200, Parity: E\n\r"),
            std::string::npos)
      << config;
  EXPECT_NE(config.find(" Port 3: Idle,"), std::string::npos) << "start-up cleared COM3";

  EXPECT_EQ(Command(console, "Baud 4 9600"), "Baud 4 9600\r\n" + kOk);
  EXPECT_EQ(Command(console, "Start 4"), "Start 4\r\n" + kOk);
  TcpClient client;
  ASSERT_TRUE(client.Connect(tcpPorts[3]));
  EXPECT_EQ(client.ReadExactly(20), kNoticeB01);
  EXPECT_EQ(Command(console, "SaveConfig"), "SaveConfig\r\n" + kOk);

  TConfigFile saved(bench.dir.Path("BridgeConfig.sys"));
  ASSERT_EQ(saved.Load(), 0);
  EXPECT_EQ(saved.Ports[3].Active, 1);
  EXPECT_EQ(saved.Ports[3].SpeedIndex, 5);
  EXPECT_EQ(saved.Ports[2].Active, 0);
}

TEST_F(Bench, RemoteLinkCarriesDataBothWaysAndEndsWhenTheServerCloses) {
  TcpListener server("127.0.0.1", 8899);
  ASSERT_TRUE(server.Ok()) << "port 8899 is taken on this machine";
  TcpClient console;
  Login(console);
  std::string reply = Command(console, "ConnectServer 2 127.0.0.1");
  EXPECT_EQ(reply, "ConnectServer 2 127.0.0.1\r\n" + kOk);
  TcpClient link = server.Accept();
  ASSERT_TRUE(link.Connected());

  // The local channels were stopped for the link.
  EXPECT_FALSE(IsListening(tcpPorts[0]));

  std::string fromServer("srv\0data", 8);
  ASSERT_TRUE(link.Send(fromServer));
  EXPECT_EQ(com2.ReadExactly(8), fromServer);
  std::string fromDevice("dev\0\0ice", 8);
  ASSERT_TRUE(com2.Write(fromDevice));
  EXPECT_EQ(link.ReadExactly(8), fromDevice);

  link.Close();
  EXPECT_NE(console.ReadUntil("remote server\n\r" + kConsolePrompt)
                .find(" ERROR: Connection closed by remote server\n\r" + kConsolePrompt),
            std::string::npos);
  // The local channels run again.
  EXPECT_TRUE(WaitListening(tcpPorts[0]));
  EXPECT_EQ(Command(console, "DisconnectServer"), "DisconnectServer\r\n" + kOk);
}

TEST_F(Bench, RemoteLinkFailuresReachTheConsole) {
  TcpClient console;
  Login(console);
  // Nothing listens on 127.0.0.2:8899 (the server of the test above, which may run at the same
  // time, listens on 127.0.0.1 only).
  std::string refused = Command(console, "ConnectServer 1 127.0.0.2");
  EXPECT_EQ(refused,
            "ConnectServer 1 127.0.0.2\r\n ERROR: Socket error 10061\n\r" + kConsolePrompt);
  EXPECT_TRUE(WaitListening(tcpPorts[0])) << "local channels started again";

  std::string cannot = Command(console, "ConnectServer 3");
  EXPECT_EQ(cannot, "ConnectServer 3\r\n ERROR: Can't open Serial Port COM3\n\r" + kConsolePrompt);
  EXPECT_EQ(Command(console, "DisconnectServer"), "DisconnectServer\r\n" + kOk);
}

}  // namespace
}  // namespace kov
