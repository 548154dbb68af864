#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SerialTestSupport.h"
#include "bridge/PortPaths.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

TEST(PortPaths, DefaultsAreTheTtySDevices) {
  PortPathList paths = DefaultPortPaths();
  EXPECT_EQ(paths[0], "/dev/ttyS0");
  EXPECT_EQ(paths[7], "/dev/ttyS7");
}

TEST(PortPaths, LinesSetTheirPortsAndLeaveTheOthers) {
  LogCapture log;
  PortPathList paths = ParsePortPaths(
      "# serial devices of this machine\r\n"
      "\r\n"
      "COM1=/dev/pts/3\r\n"
      "   COM3 =   /dev/ttyUSB0   # the USB adapter\n"
      "\tcom8\t=\t/dev/serial/by-id/usb-Acme Ltd-if00\n"
      "COM2=/dev/first\n"
      "COM2=/dev/second",
      "BridgePorts.conf");
  EXPECT_EQ(paths[0], "/dev/pts/3");
  EXPECT_EQ(paths[1], "/dev/second") << "a later line wins";
  EXPECT_EQ(paths[2], "/dev/ttyUSB0");
  EXPECT_EQ(paths[3], "/dev/ttyS3");
  EXPECT_EQ(paths[7], "/dev/serial/by-id/usb-Acme Ltd-if00") << "blanks inside a path stay";
  EXPECT_TRUE(log.Lines().empty()) << log.All();
}

TEST(PortPaths, LinesNotUnderstoodAreLoggedAndIgnored) {
  LogCapture log;
  PortPathList paths = ParsePortPaths(
      "COM0=/dev/zero\n"     // line 1: there is no port 0
      "COM9=/dev/nine\n"     // 2: nor 9
      "COM1\n"               // 3: no '='
      "COM2=   # nothing\n"  // 4: no path
      "COMX=/dev/x\n"        // 5
      "COM12=/dev/twelve\n"  // 6
      "PORT1=/dev/p\n"       // 7
      "=/dev/none\n"         // 8
      "COM4=/dev/good\n",
      "ports.conf");
  EXPECT_EQ(paths, [] {
    PortPathList expected = DefaultPortPaths();
    expected[3] = "/dev/good";
    return expected;
  }());
  ASSERT_EQ(log.Lines().size(), 8u) << log.All();
  EXPECT_EQ(log.Lines()[0], "ports.conf line 1 not understood, ignored: COM0=/dev/zero");
  EXPECT_EQ(log.Lines()[3], "ports.conf line 4 not understood, ignored: COM2=   # nothing");
  EXPECT_EQ(log.Lines()[7], "ports.conf line 8 not understood, ignored: =/dev/none");
}

TEST(PortPaths, LoadReadsTheFileOrFallsBackToDefaults) {
  TempDir dir;
  {
    LogCapture log;
    EXPECT_EQ(LoadPortPaths(dir.Path("BridgePorts.conf")), DefaultPortPaths());
    EXPECT_TRUE(log.Lines().empty()) << "the file is optional: " << log.All();
  }
  dir.Write("BridgePorts.conf", "COM5=/dev/ttyACM0\nnonsense\n");
  {
    LogCapture log;
    PortPathList paths = LoadPortPaths(dir.Path("BridgePorts.conf"));
    EXPECT_EQ(paths[4], "/dev/ttyACM0");
    EXPECT_EQ(paths[0], "/dev/ttyS0");
    EXPECT_EQ(log.Count("line 2 not understood"), 1u) << log.All();
  }
  {
    // A directory, or a FIFO that would block the start-up, is not read.
    LogCapture log;
    mkdir(dir.Path("adir").c_str(), 0700);
    mkfifo(dir.Path("afifo").c_str(), 0600);
    EXPECT_EQ(LoadPortPaths(dir.Path("adir")), DefaultPortPaths());
    EXPECT_EQ(LoadPortPaths(dir.Path("afifo")), DefaultPortPaths());
    EXPECT_EQ(log.Count("cannot be read"), 2u) << log.All();
  }
}

}  // namespace
}  // namespace kov
