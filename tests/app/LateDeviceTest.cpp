// The real program and devices that are not there at start-up, and BridgePorts.conf read again
// when a port is started from the console: a USB adapter the kernel finds after the program
// started is waited for and bridged, a path that is no device at all is an error as ever, and a
// corrected (or spoiled) line applies at the next Start.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "config/ConfigFile.h"
#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\r" + kConsolePrompt;
const std::string kCannotOpen = "SerCommError: Cannot open port !\n\r\n\r" + kConsolePrompt;

using Clock = std::chrono::steady_clock;

class LateDeviceProgram : public ::testing::Test {
 protected:
  // COM1 and COM2 active with the given lines; a console logged in.
  void Start(const std::string& ports) {
    bench.dir.Write("BridgePorts.conf", ports);
    bench.config.Ports[1].Active = 1;
    ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
    program = bench.program.get();
    ASSERT_TRUE(bench.Login(console));
  }
  std::string Command(const std::string& line) { return ProgramBench::Command(console, line); }
  // Bytes both ways between a bridged client and a device.
  void ExpectBothWays(TcpClient& client, Pty& device) {
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(device.ReadExactly(4), "ping");
    ASSERT_TRUE(device.Write("pong"));
    EXPECT_EQ(client.ReadExactly(4), "pong");
  }

  ProgramBench bench;
  TempDir& dir = bench.dir;
  TcpClient console;
  const int com1Port = bench.com1Port;
  const int com2Port = bench.config.Ports[1].TcpPort;
  Program* program = nullptr;
};

TEST_F(LateDeviceProgram, AnActivePortWaitsForItsDeviceFromStartUp) {
  // COM1's link points nowhere yet, as a USB adapter's does before the kernel has found it;
  // COM2's path is a plain file, which no waiting makes a device.
  const std::string link = dir.Path("usb-adapter");
  ASSERT_EQ(symlink("/nonexistent/ttyUSB9", link.c_str()), 0);
  dir.Write("plain", "");
  Start("COM1=" + link + "\nCOM2=" + dir.Path("plain") + "\n");
  ASSERT_TRUE(WaitListening(com1Port)) << program->Stderr();
  EXPECT_EQ(program->LogCount("COM1: device " + link +
                              " is not there (No such file or directory), bridge waits for it "
                              "(115200 E), listening on TCP port " +
                              std::to_string(com1Port)),
            1u)
      << program->Stderr();
  EXPECT_EQ(program->LogCount("COM1"), 1u) << "one line, and no error: " << program->Stderr();
  EXPECT_EQ(program->LogCount("COM2 not started (result -2), marked inactive"), 1u)
      << program->Stderr();
  EXPECT_FALSE(IsListening(com2Port));

  // Listed active, and saved so; the plain file's port is idle as ever.
  const std::string config = Command("ShowConfig");
  EXPECT_NE(config.find(" Port 1: Active,"), std::string::npos) << config;
  EXPECT_NE(config.find(" Port 2: Idle,"), std::string::npos) << config;
  EXPECT_EQ(Command("SaveConfig"), "SaveConfig\r\n" + kOk);
  TConfigFile saved(dir.Path("BridgeConfig.sys"));
  ASSERT_EQ(saved.Load(), 0);
  EXPECT_EQ(saved.Ports[0].Active, 1);
  EXPECT_EQ(saved.Ports[1].Active, 0);

  // A newcomer meanwhile is turned away cleanly.
  TcpClient early;
  ASSERT_TRUE(early.Connect(com1Port));
  std::string rest;
  EXPECT_TRUE(early.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, kNoticeB02);

  // The device appears: bridged within two seconds.
  Pty device(link);
  const auto plugged = Clock::now();
  TcpClient client;
  bool bridged = false;
  while (!bridged && Clock::now() - plugged < std::chrono::seconds(5)) {
    bridged = client.Connect(com1Port) && client.ReadExactly(20) == kNoticeB01;
    if (!bridged) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(bridged) << program->Stderr();
  EXPECT_LT(Clock::now() - plugged, std::chrono::seconds(2));
  ExpectBothWays(client, device);
  EXPECT_EQ(program->LogCount("COM1 device back on " + link + " (115200 8E1)"), 1u)
      << program->Stderr();
}

TEST_F(LateDeviceProgram, ALineChangedInBridgePortsConfAppliesAtTheNextStart) {
  Pty first, second;
  Start("COM1=" + first.Path() + "\nCOM2=" + dir.Path("none") + "\n");
  ASSERT_TRUE(WaitListening(com1Port)) << program->Stderr();

  // A new path and an option for COM1: Stop and Start take them, no restart.
  EXPECT_EQ(Command("Stop 1"), "Stop 1\r\n" + kOk);
  dir.Write("BridgePorts.conf", "COM1=" + second.Path() + " databits=7\n");
  EXPECT_EQ(Command("Start 1"), "Start 1\r\n" + kOk);
  EXPECT_TRUE(program->WaitForLog("COM1 opened on " + second.Path() + " (115200 7E1)"))
      << program->Stderr();
  TcpClient client;
  ASSERT_TRUE(client.Connect(com1Port));
  EXPECT_EQ(client.ReadExactly(20), kNoticeB01);
  ExpectBothWays(client, second);
  client.Close();

  // A line that became bad: the console's usual answer, one log line naming file, line, word.
  EXPECT_EQ(Command("Stop 1"), "Stop 1\r\n" + kOk);
  dir.Write("BridgePorts.conf", "# moved\nCOM1=" + second.Path() + " flow=sideways\n");
  EXPECT_EQ(Command("Start 1"), "Start 1\r\n" + kCannotOpen);
  const std::string fault = "BridgePorts.conf line 2: bad value for flow 'flow=sideways'";
  EXPECT_TRUE(program->WaitForLog("COM1: bridge cannot open, " + fault)) << program->Stderr();
  EXPECT_EQ(program->LogCount(fault), 1u) << program->Stderr();
  EXPECT_FALSE(IsListening(com1Port));

  // Mended, and started by LoadConfig this time.
  dir.Write("BridgePorts.conf", "COM1=" + first.Path() + "\n");
  EXPECT_EQ(Command("LoadConfig"), "LoadConfig\r\n" + kOk);
  EXPECT_TRUE(program->WaitForLog("COM1 opened on " + first.Path() + " (115200 8E1)", 5000, 2))
      << program->Stderr();
  ASSERT_TRUE(WaitListening(com1Port));
  TcpClient again;
  ASSERT_TRUE(again.Connect(com1Port));
  EXPECT_EQ(again.ReadExactly(20), kNoticeB01);
  ExpectBothWays(again, first);
}

}  // namespace
}  // namespace kov
