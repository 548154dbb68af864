// The real program with serial devices that are unplugged and plugged back: pseudo-terminals
// behind symbolic links named in BridgePorts.conf, as USB adapters are named by
// /dev/serial/by-id. A local channel's port and the remote link's port heal by themselves, time
// after time, without growing; the console's Stop and Start leave a connected link alone.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\r" + kConsolePrompt;
constexpr int kCycles = 5;

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// COM1 and COM2 are pseudo-terminals behind links in the working directory, COM1 active; the
// program runs there with a console.
class DeviceLossProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.NameDevice(1, com1.Path());
    bench.NameDevice(2, com2.Path());
    ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
    program = bench.program.get();
    ASSERT_TRUE(WaitListening(tcpPorts[0])) << program->Stderr();
  }

  // A client taken on by the channel on tcpPort once its device is back: newcomers are turned
  // away with B02 until then. Returns the milliseconds it took.
  int64_t BridgeWhenBack(TcpClient& client, int tcpPort) {
    const auto start = Clock::now();
    while (MsSince(start) < 5000) {
      if (client.Connect(tcpPort) && client.ReadExactly(20) == kNoticeB01) return MsSince(start);
      client.Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  // A new device behind the link of port index: within 2 s a new client is bridged, and
  // bytes go both ways until it leaves (the port's letGo-th client to do so).
  void PlugBackAndBridge(Pty& device, int index, size_t letGo) {
    ASSERT_TRUE(device.Plug());
    TcpClient client;
    const int64_t ms = BridgeWhenBack(client, tcpPorts[index]);
    EXPECT_GE(ms, 0) << program->Stderr();
    EXPECT_LT(ms, 2000);
    ExpectBothWays(client, device, "again");
    client.Close();
    const std::string name = "COM" + std::to_string(index + 1);
    ASSERT_TRUE(program->WaitForLog(name + ": client 127.0.0.1 let go", 5000, letGo));
  }
  // After the first cycle: what the program holds then is what it must hold after the last.
  void NoteHoldings() {
    descriptors = program->Descriptors();
    resident = program->ResidentKiB();
  }
  void ExpectSameHoldings() {
    EXPECT_EQ(program->Descriptors(), descriptors) << "descriptors grew over the cycles";
#ifndef __SANITIZE_ADDRESS__  // the sanitizer holds freed memory back for a while
    EXPECT_LT(program->ResidentKiB() - resident, 256) << "memory grew over the cycles";
#endif
  }
  // Bytes both ways between a TCP end and a device.
  void ExpectBothWays(TcpClient& tcp, Pty& device, const std::string& tag) {
    ASSERT_TRUE(tcp.Send("up " + tag));
    EXPECT_EQ(device.ReadExactly(3 + tag.size()), "up " + tag);
    ASSERT_TRUE(device.Write("down " + tag));
    EXPECT_EQ(tcp.ReadExactly(5 + tag.size()), "down " + tag);
  }

  ProgramBench bench;
  Pty com1{bench.dir.Path("usb-com1")};
  Pty com2{bench.dir.Path("usb-com2")};
  const int tcpPorts[2] = {bench.config.Ports[0].TcpPort, bench.config.Ports[1].TcpPort};
  Program* program = nullptr;
  int descriptors = 0;
  long resident = 0;
};

TEST_F(DeviceLossProgram, ABridgedPortHealsAfterEachUnplug) {
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    TcpClient client;
    ASSERT_GE(BridgeWhenBack(client, tcpPorts[0]), 0) << program->Stderr();
    ExpectBothWays(client, com1, std::to_string(cycle));

    // Unplugged with a client bridged: it gets the device's last bytes, B02, then the close.
    ASSERT_TRUE(com1.Write("last words"));
    EXPECT_EQ(client.ReadExactly(10), "last words");
    com1.Unplug();
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(5000, &rest));
    EXPECT_EQ(rest, kNoticeB02);
    ASSERT_TRUE(program->WaitForLog("COM1 device " + com1.Path() + " went away", 5000, cycle + 1));

    // A newcomer while the device is away is refused cleanly, and nothing about the port
    // changes on the console.
    TcpClient newcomer;
    ASSERT_TRUE(newcomer.Connect(tcpPorts[0]));
    rest.clear();
    EXPECT_TRUE(newcomer.WaitClosed(5000, &rest));
    EXPECT_EQ(rest, kNoticeB02);
    if (cycle == 0) {
      EXPECT_NE(ProgramBench::Command(console, "ShowConfig").find(" Port 1: Active,"),
                std::string::npos);
      // Tries while away leave no log lines (the rate limit's count of lines it held back
      // before the unplug may still come).
      auto lines = [this] {
        std::string kept;
        std::istringstream in(program->Stderr());
        for (std::string line; std::getline(in, line);) {
          if (line.find("left out") == std::string::npos) kept += line + "\n";
        }
        return kept;
      };
      const std::string before = lines();
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      EXPECT_EQ(lines(), before);
    }

    PlugBackAndBridge(com1, 0, 2 * cycle + 2);

    if (cycle == 0) NoteHoldings();
  }
  ExpectSameHoldings();
  EXPECT_EQ(program->LogCount("COM1 device back on " + com1.Path()), size_t{kCycles});
}

TEST_F(DeviceLossProgram, TheLinksPortHealsAndStopOrStartLeaveTheLinkAlone) {
  // Away from 127.0.0.1:8899, which another end-to-end test may hold at the same time.
  TcpListener server("127.0.0.3", 8899);
  ASSERT_TRUE(server.Ok()) << "127.0.0.3:8899 is taken on this machine";
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    EXPECT_EQ(ProgramBench::Command(console, "ConnectServer 2 127.0.0.3"),
              "ConnectServer 2 127.0.0.3\r\n" + kOk);
    TcpClient link = server.Accept();
    ASSERT_TRUE(link.Connected());
    ExpectBothWays(link, com2, std::to_string(cycle));

    if (cycle == 0) {
      // Stop 2 clears the flag and answers as ever; the link keeps its port and its bytes.
      EXPECT_EQ(ProgramBench::Command(console, "Stop 2"), "Stop 2\r\n" + kOk);
      ExpectBothWays(link, com2, "after Stop");
      // Start 2 cannot open a port the link holds; the link goes on.
      EXPECT_EQ(ProgramBench::Command(console, "Start 2"),
                "Start 2\r\nSerCommError: Cannot open port !\n\r\n\r" + kConsolePrompt);
      ExpectBothWays(link, com2, "after Start");
      EXPECT_EQ(program->LogCount("COM2: bridge cannot open, the port is held by the remote server "
                                  "link"),
                1u);
    }

    // The link's device goes away: the server has its last bytes, the link ends, the console
    // is told, and the port heals as a local channel.
    ASSERT_TRUE(com2.Write("tail"));
    EXPECT_EQ(link.ReadExactly(4), "tail");
    com2.Unplug();
    const std::string line = " ERROR: Serial Port COM2 device lost\n\r" + kConsolePrompt;
    EXPECT_NE(console.ReadUntil(line).find(line), std::string::npos);
    EXPECT_TRUE(link.WaitClosed());
    ASSERT_TRUE(WaitListening(tcpPorts[0])) << "the local channels run again";

    PlugBackAndBridge(com2, 1, cycle + 1);

    if (cycle == 0) NoteHoldings();
  }
  ExpectSameHoldings();
}

}  // namespace
}  // namespace kov
