// The real headless program doing its main job, from its entry: pseudo-terminals as serial
// devices named in BridgePorts.conf, a BridgeConfig.sys with active ports, a console session,
// the remote link to a test server, and the shutdown on SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "config/ConfigFile.h"
#include "tests/app/ProgramBench.h"
#include "tests/support/Program.h"
#include "tests/support/Pty.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

const std::string kB01("\nB01S00A3\r\vB01S00A3\r", 20);
const std::string kB02("\nB02S00A4\r\vB02S00A4\r", 20);
const std::string kPrompt = "Bridge:\\>";
const std::string kOk = " OK. \n\rBridge:\\>";

// A listening socket on 127.0.0.1 that plays the remote bridge server.
class TestServer {
 public:
  explicit TestServer(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 5) == 0;
  }
  ~TestServer() { close(fd_); }
  bool Ok() const { return ok_; }
  // Accepts one connection within the time given; -1 when none came.
  int Accept(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

std::string ReadFd(int fd, size_t count, int timeoutMs = 5000) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < count && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd, buf, std::min(sizeof buf, count - got.size()), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A working directory with three pseudo-terminals as COM1, COM2 and COM4 (the other ports name
// devices that do not exist), COM1 and COM2 active, and free TCP ports for everything.
class Bench : public ::testing::Test {
 protected:
  void SetUp() override {
    consolePort = FreeTcpPort();
    for (int i = 0; i < 8; ++i) tcpPorts[i] = FreeTcpPort();
    std::string ports;
    for (int n = 1; n <= 8; ++n) {
      std::string path = "/nonexistent/kov-tty" + std::to_string(n);
      if (n == 1) path = com1.Path();
      if (n == 2) path = com2.Path();
      if (n == 4) path = com4.Path();
      if (n == 3) path = dir.Path("not-a-device");  // a plain file: no device, never one
      ports += "COM" + std::to_string(n) + "=" + path + "\n";
    }
    dir.Write("not-a-device", "");
    dir.Write("BridgePorts.conf", ports);
    TConfigFile config(dir.Path("BridgeConfig.sys"));
    config.ServicePort = std::to_string(consolePort);
    for (int i = 0; i < 8; ++i) config.Ports[i].TcpPort = tcpPorts[i];
    config.Ports[0].Active = 1;
    config.Ports[1].Active = 1;
    config.Ports[1].SpeedIndex = 5;
    config.Ports[2].Active = 1;  // COM3 cannot open: start-up clears its flag in memory
    ASSERT_EQ(config.Save(), 0);
    program = std::make_unique<Program>(ProgramPath("kovbridge"), dir.Root());
    ASSERT_TRUE(ProgramBench::WaitListening(consolePort)) << program->Stderr();
  }

  void TearDown() override {
    if (program && program->Running()) {
      program->Signal(SIGTERM);
      EXPECT_EQ(program->Wait(), 0) << program->Stderr();
    }
  }

  // Connects a console and logs in; returns the bytes received up to the first prompt.
  std::string Login(TcpClient& console) {
    EXPECT_TRUE(console.Connect(consolePort));
    std::string greeting = console.ReadUntil("Password:");
    console.Send("PZQ\r\n");
    greeting += console.ReadUntil(kPrompt);
    return greeting;
  }

  std::string Command(TcpClient& console, const std::string& line,
                      const std::string& until = kPrompt) {
    console.Send(line + "\r\n");
    return console.ReadUntil(until);
  }

  TempDir dir;
  Pty com1, com2, com4;
  int consolePort = 0;
  int tcpPorts[8] = {};
  std::unique_ptr<Program> program;
};

TEST_F(Bench, ActivePortsAreBridgedFromStartUp) {
  TcpClient client;
  ASSERT_TRUE(ProgramBench::WaitListening(tcpPorts[0]));
  ASSERT_TRUE(client.Connect(tcpPorts[0]));
  EXPECT_EQ(client.ReadExactly(20), kB01);

  std::string toDevice("req\0uest\xff", 9);
  ASSERT_TRUE(client.Send(toDevice));
  EXPECT_EQ(com1.ReadExactly(toDevice.size()), toDevice);
  std::string toClient("ans\0\0wer", 8);
  ASSERT_TRUE(com1.Write(toClient));
  EXPECT_EQ(client.ReadExactly(toClient.size()), toClient);

  // COM2 listens too; COM3 could not open and does not.
  TcpClient second;
  ASSERT_TRUE(second.Connect(tcpPorts[1]));
  EXPECT_EQ(second.ReadExactly(20), kB01);
  EXPECT_FALSE(ProgramBench::IsListening(tcpPorts[2]));
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
  EXPECT_EQ(client.ReadExactly(20), kB01);
  EXPECT_EQ(Command(console, "SaveConfig"), "SaveConfig\r\n" + kOk);

  TConfigFile saved(dir.Path("BridgeConfig.sys"));
  ASSERT_EQ(saved.Load(), 0);
  EXPECT_EQ(saved.Ports[3].Active, 1);
  EXPECT_EQ(saved.Ports[3].SpeedIndex, 5);
  EXPECT_EQ(saved.Ports[2].Active, 0);
}

TEST_F(Bench, RemoteLinkCarriesDataBothWaysAndEndsWhenTheServerCloses) {
  TestServer server(8899);
  ASSERT_TRUE(server.Ok()) << "port 8899 is taken on this machine";
  TcpClient console;
  Login(console);
  std::string reply = Command(console, "ConnectServer 2 127.0.0.1", kOk);
  EXPECT_EQ(reply, "ConnectServer 2 127.0.0.1\r\n" + kOk);
  int link = server.Accept();
  ASSERT_GE(link, 0);

  // The local channels were stopped for the link.
  EXPECT_FALSE(ProgramBench::IsListening(tcpPorts[0]));

  std::string fromServer("srv\0data", 8);
  ASSERT_EQ(send(link, fromServer.data(), fromServer.size(), 0), 8);
  EXPECT_EQ(com2.ReadExactly(8), fromServer);
  std::string fromDevice("dev\0\0ice", 8);
  ASSERT_TRUE(com2.Write(fromDevice));
  EXPECT_EQ(ReadFd(link, 8), fromDevice);

  close(link);
  EXPECT_NE(console.ReadUntil("remote server\n\r" + kPrompt)
                .find(" ERROR: Connection closed by remote server\n\r" + kPrompt),
            std::string::npos);
  // The local channels run again.
  EXPECT_TRUE(ProgramBench::WaitListening(tcpPorts[0]));
  EXPECT_EQ(Command(console, "DisconnectServer"), "DisconnectServer\r\n" + kOk);
}

TEST_F(Bench, RemoteLinkFailuresReachTheConsole) {
  TcpClient console;
  Login(console);
  // Nothing listens on 127.0.0.2:8899 (the server of the test above, which may run at the same
  // time, listens on 127.0.0.1 only).
  std::string refused = Command(console, "ConnectServer 1 127.0.0.2", "10061\n\r" + kPrompt);
  EXPECT_EQ(refused, "ConnectServer 1 127.0.0.2\r\n ERROR: Socket error 10061\n\r" + kPrompt);
  EXPECT_TRUE(ProgramBench::WaitListening(tcpPorts[0])) << "local channels started again";

  std::string cannot = Command(console, "ConnectServer 3");
  EXPECT_EQ(cannot, "ConnectServer 3\r\n ERROR: Can't open Serial Port COM3\n\r" + kPrompt);
  EXPECT_EQ(Command(console, "DisconnectServer"), "DisconnectServer\r\n" + kOk);
}

TEST_F(Bench, SigtermSaysGoodbyeToALoggedInConsole) {
  TcpClient console;
  Login(console);
  program->Signal(SIGTERM);
  std::string rest;
  EXPECT_TRUE(console.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "\n\r\n\rProgram KOV Bridge terminated !");
  EXPECT_EQ(program->Wait(), 0) << program->Stderr();
}

}  // namespace
}  // namespace kov
