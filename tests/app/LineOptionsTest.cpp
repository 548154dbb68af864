// The real program with options on the lines of BridgePorts.conf: the line setting logged at
// each open and kept across a device's return, the idle time, the keepalive of the bridged
// connection, and a line with a bad option that keeps its port from starting while the others
// work.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// An option of the program's own end of the connection that client holds: the program's socket
// is found among its descriptors by its address pair, and taken for a look with pidfd_getfd.
int ProgramSocketOption(pid_t pid, const TcpClient& client, int level, int name) {
  sockaddr_in mine{}, theirs{};
  socklen_t size = sizeof mine;
  getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&mine), &size);
  size = sizeof theirs;
  getpeername(client.Fd(), reinterpret_cast<sockaddr*>(&theirs), &size);
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -2;
  int value = -1;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    const int target = std::stoi(entry.path().filename().string());
    const int fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    if (fd < 0) continue;
    sockaddr_in local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    const bool match = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
                       getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 &&
                       local.sin_port == theirs.sin_port && peer.sin_port == mine.sin_port;
    if (match) {
      socklen_t valueSize = sizeof value;
      getsockopt(fd, level, name, &value, &valueSize);
    }
    close(fd);
    if (match) break;
  }
  close(pidfd);
  return value;
}

// COM1 behind a link (a USB adapter), COM2 a plain pseudo-terminal; both active.
class LineOptionsProgram : public ::testing::Test {
 protected:
  void Start(const std::string& com1Options, const std::string& com2Options) {
    bench.dir.Write("BridgePorts.conf", "# two lines\nCOM1=" + com1.Path() + " " + com1Options +
                                            "\nCOM2=" + com2.Path() + " " + com2Options + "\n");
    bench.config.Ports[1].Active = 1;
    bench.config.Ports[0].SpeedIndex = 5;   // 9600
    bench.config.Ports[0].ParityIndex = 2;  // even
    ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
    program = bench.program.get();
    com1Port = bench.com1Port;
    com2Port = bench.config.Ports[1].TcpPort;
  }
  bool Bridge(TcpClient& client, int port) {
    return WaitListening(port) && client.Connect(port) &&
           client.ReadExactly(20) == kNoticeB01;
  }

  ProgramBench bench;
  Pty com1{bench.dir.Path("usb-com1")};
  Pty com2;
  int com1Port = 0;
  int com2Port = 0;
  Program* program = nullptr;
};

TEST_F(LineOptionsProgram, TheLineSettingIsLoggedAtEachOpenAndSurvivesTheDevicesReturn) {
  Start("databits=7 stopbits=2 flow=rtscts dtr=off", "");
  const std::string opened = "COM1 opened on " + com1.Path() + " (9600 7E2, rtscts, dtr off)";
  ASSERT_TRUE(program->WaitForLog(opened)) << program->Stderr();
  ASSERT_TRUE(program->WaitForLog("COM2 opened on " + com2.Path() + " (115200 8E1)"))
      << program->Stderr();
  EXPECT_EQ(program->LogCount("COM1 opened"), 1u) << "one line per open: " << program->Stderr();
  EXPECT_EQ(program->LogCount("COM1 set to"), 0u) << program->Stderr();

  TcpClient client;
  ASSERT_TRUE(Bridge(client, com1Port)) << program->Stderr();
  com1.Unplug();
  EXPECT_TRUE(client.WaitClosed());
  ASSERT_TRUE(program->WaitForLog("COM1 device " + com1.Path() + " went away"));
  ASSERT_TRUE(com1.Plug());
  ASSERT_TRUE(
      program->WaitForLog("COM1 device back on " + com1.Path() + " (9600 7E2, rtscts, dtr off)"))
      << program->Stderr();
  TcpClient again;
  ASSERT_TRUE(Bridge(again, com1Port)) << program->Stderr();
  ASSERT_TRUE(again.Send("up"));
  EXPECT_EQ(com1.ReadExactly(2), "up");
}

TEST_F(LineOptionsProgram, IdleTimeAndKeepalivePerPort) {
  Start("idle=2 keepalive=5", "keepalive=0");
  TcpClient silent;
  ASSERT_TRUE(Bridge(silent, com1Port)) << program->Stderr();
  const auto start = Clock::now();
  EXPECT_NE(ProgramSocketOption(program->Pid(), silent, SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(ProgramSocketOption(program->Pid(), silent, IPPROTO_TCP, TCP_KEEPIDLE), 5);
  EXPECT_EQ(ProgramSocketOption(program->Pid(), silent, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(ProgramSocketOption(program->Pid(), silent, IPPROTO_TCP, TCP_KEEPCNT), 3);
  TcpClient other;
  ASSERT_TRUE(Bridge(other, com2Port)) << program->Stderr();
  EXPECT_EQ(ProgramSocketOption(program->Pid(), other, SOL_SOCKET, SO_KEEPALIVE), 0);

  // The silent client goes with B02 after about two seconds.
  std::string rest;
  EXPECT_TRUE(silent.WaitClosed(5000, &rest));
  const int64_t ms = MsSince(start);
  EXPECT_EQ(rest, kNoticeB02);
  EXPECT_GE(ms, 1500);
  EXPECT_LT(ms, 4000);
  EXPECT_TRUE(program->WaitForLog("COM1: client 127.0.0.1 let go (silent for 2000 ms)"))
      << program->Stderr();
  EXPECT_EQ(other.ReadFor(100), "") << "the other port keeps its client";
}

TEST_F(LineOptionsProgram, ABadOptionKeepsItsPortClosedAndTheOtherWorks) {
  Start("", "databits=7 flow=rts");
  ASSERT_TRUE(WaitListening(com1Port)) << program->Stderr();
  const std::string fault = "BridgePorts.conf line 3: bad value for flow 'flow=rts'";
  EXPECT_EQ(program->LogCount(fault + ", COM2 does not open until the line is mended"), 1u)
      << program->Stderr();
  EXPECT_EQ(program->LogCount("COM2: bridge cannot open, " + fault), 1u) << program->Stderr();
  EXPECT_EQ(program->LogCount("COM2 not started"), 1u) << program->Stderr();
  EXPECT_FALSE(IsListening(com2Port));
  EXPECT_EQ(program->LogCount("COM2 opened"), 0u);

  TcpClient client;
  ASSERT_TRUE(Bridge(client, com1Port)) << program->Stderr();
  ASSERT_TRUE(com1.Write("fine"));
  EXPECT_EQ(client.ReadExactly(4), "fine");

  // The console's usual answer for a port that cannot open, and the same line in the log.
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));
  EXPECT_EQ(ProgramBench::Command(console, "Start 2"),
            "Start 2\r\nSerCommError: Cannot open port !\n\r\n\rBridge:\\>");
  EXPECT_TRUE(program->WaitForLog("COM2: bridge cannot open, " + fault, 5000, 2));
}

}  // namespace
}  // namespace kov
