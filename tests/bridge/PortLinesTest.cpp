// BridgePorts.conf: paths, options, faults, reading the file and reading it again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge/PortLines.h"
#include "bridge/PortTable.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

TEST(PortLines, DefaultsAreTheTtySDevicesWithDefaultOptions) {
  PortLineList lines = DefaultPortLines();
  EXPECT_EQ(lines[0].path, "/dev/ttyS0");
  EXPECT_EQ(lines[7].path, "/dev/ttyS7");
  const PortOptions& o = lines[3].options;
  EXPECT_EQ(o.dataBits, 8);
  EXPECT_EQ(o.stopBits, 1);
  EXPECT_EQ(o.flow, FlowControl::None);
  EXPECT_TRUE(o.dtr);
  EXPECT_TRUE(o.rts);
  EXPECT_FALSE(o.lowLatency);
  EXPECT_EQ(o.idleSeconds, 180);
  EXPECT_EQ(o.keepaliveSeconds, 60);
  EXPECT_TRUE(o.notices);
  EXPECT_TRUE(lines[3].fault.empty());
}

TEST(PortLines, PathsAndOptionsSetTheirPortsAndLeaveTheOthers) {
  LogCapture log;
  std::vector<std::string> problems;
  PortLineList lines = ParsePortLines(
      "# serial devices of this machine\r\n"
      "\r\n"
      "COM1=/dev/pts/3\r\n"
      "   COM3 =   /dev/ttyUSB0   databits=7 STOPBITS=2\tflow=RtsCts  # the USB adapter\n"
      "\tcom8\t=\t/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0 dtr=off rts=off "
      "lowlatency=on idle=0 keepalive=0 notices=off\n"
      "COM2=/dev/first databits=5\n"
      "COM2=/dev/second flow=xonxoff idle=2147483 keepalive=32767",
      "BridgePorts.conf", &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_TRUE(log.Lines().empty()) << "parsing logs nothing itself: " << log.All();
  EXPECT_EQ(lines[0].path, "/dev/pts/3");
  EXPECT_EQ(lines[0].options, PortOptions{});
  EXPECT_EQ(lines[1].path, "/dev/second") << "a later line wins, options and all";
  EXPECT_EQ(lines[1].options.dataBits, 8);
  EXPECT_EQ(lines[1].options.flow, FlowControl::XonXoff);
  EXPECT_EQ(lines[1].options.idleSeconds, 2147483);
  EXPECT_EQ(lines[1].options.keepaliveSeconds, 32767);
  EXPECT_EQ(lines[2].path, "/dev/ttyUSB0");
  EXPECT_EQ(lines[2].options.dataBits, 7);
  EXPECT_EQ(lines[2].options.stopBits, 2);
  EXPECT_EQ(lines[2].options.flow, FlowControl::RtsCts);
  EXPECT_EQ(lines[3].path, "/dev/ttyS3");
  const PortOptions& o = lines[7].options;
  EXPECT_EQ(lines[7].path, "/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0");
  EXPECT_FALSE(o.dtr);
  EXPECT_FALSE(o.rts);
  EXPECT_TRUE(o.lowLatency);
  EXPECT_EQ(o.idleSeconds, 0);
  EXPECT_EQ(o.keepaliveSeconds, 0);
  EXPECT_FALSE(o.notices);
  for (const PortLine& line : lines) EXPECT_TRUE(line.fault.empty()) << line.fault;

  LineSetting setting = LineOfPort(lines[2].options, 9600, Parity::Even);
  EXPECT_EQ(DescribeLine(setting), "9600 7E2, rtscts");
  EXPECT_EQ(DescribeLine(LineOfPort(o, 115200, Parity::None)),
            "115200 8N1, dtr off, rts off, low latency");
}

TEST(PortLines, EachBadOptionIsAFaultNamingFileLineAndWord) {
  const struct {
    const char* options;
    const char* fault;
  } cases[] = {
      {"speed=9600", "unknown option 'speed=9600'"},
      {"databits=9", "bad value for databits 'databits=9'"},
      {"databits=4", "bad value for databits 'databits=4'"},
      {"databits=", "bad value for databits 'databits='"},
      {"stopbits=1.5", "bad value for stopbits 'stopbits=1.5'"},
      {"flow=hardware", "bad value for flow 'flow=hardware'"},
      {"dtr=1", "bad value for dtr 'dtr=1'"},
      {"rts=yes", "bad value for rts 'rts=yes'"},
      {"lowlatency=maybe", "bad value for lowlatency 'lowlatency=maybe'"},
      {"notices=none", "bad value for notices 'notices=none'"},
      {"idle=-1", "bad value for idle 'idle=-1'"},
      {"idle=2147484", "bad value for idle 'idle=2147484'"},
      {"idle=1e3", "bad value for idle 'idle=1e3'"},
      {"keepalive=32768", "bad value for keepalive 'keepalive=32768'"},
      {"keepalive=99999999999", "bad value for keepalive 'keepalive=99999999999'"},
      {"rtscts", "not an option (name=value) 'rtscts'"},
      {"=on", "not an option (name=value) '=on'"},
      {"flow=rtscts idle=5 flow=none", "option given twice 'flow=none'"},
      {"Dtr=off dtr=on", "option given twice 'dtr=on'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    std::vector<std::string> problems;
    PortLineList lines =
        ParsePortLines("COM1=/dev/ttyUSB1\n\nCOM2=/dev/ttyUSB0 " + std::string(c.options) + "\n",
                       "ports.conf", &problems);
    EXPECT_EQ(lines[1].fault, "ports.conf line 3: " + std::string(c.fault));
    EXPECT_EQ(lines[1].path, "/dev/ttyUSB0");
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0], lines[1].fault + ", COM2 does not open until the line is mended");
    EXPECT_TRUE(lines[0].fault.empty()) << "the other lines still apply";
    EXPECT_EQ(lines[0].path, "/dev/ttyUSB1");
  }
}

TEST(PortLines, LinesNotUnderstoodAreProblemsAndIgnored) {
  std::vector<std::string> problems;
  PortLineList lines = ParsePortLines(
      "COM0=/dev/zero\n"     // line 1: there is no port 0
      "COM9=/dev/nine\n"     // 2: nor 9
      "COM1\n"               // 3: no '='
      "COM2=   # nothing\n"  // 4: no path
      "COMX=/dev/x\n"        // 5
      "COM12=/dev/twelve\n"  // 6
      "PORT1=/dev/p\n"       // 7
      "=/dev/none\n"         // 8
      "COM4=/dev/good\n",
      "ports.conf", &problems);
  PortLineList expected = DefaultPortLines();
  expected[3].path = "/dev/good";
  EXPECT_EQ(lines, expected);
  ASSERT_EQ(problems.size(), 8u);
  EXPECT_EQ(problems[0], "ports.conf line 1 not understood, ignored: COM0=/dev/zero");
  EXPECT_EQ(problems[3], "ports.conf line 4 not understood, ignored: COM2=   # nothing");
  EXPECT_EQ(problems[7], "ports.conf line 8 not understood, ignored: =/dev/none");
}

TEST(PortLines, ReadingFallsBackToDefaultsAndSaysWhyWhenItMust) {
  TempDir dir;
  std::vector<std::string> problems;
  EXPECT_EQ(ReadPortLines(dir.Path("BridgePorts.conf"), &problems), DefaultPortLines());
  EXPECT_TRUE(problems.empty()) << "the file is optional";
  dir.Write("BridgePorts.conf", "COM5=/dev/ttyACM0 databits=7\nnonsense\n");
  PortLineList lines = ReadPortLines(dir.Path("BridgePorts.conf"), &problems);
  EXPECT_EQ(lines[4].path, "/dev/ttyACM0");
  EXPECT_EQ(lines[4].options.dataBits, 7);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("line 2 not understood"), std::string::npos);
  // A directory, or a FIFO that would block the start-up, is not read.
  problems.clear();
  mkdir(dir.Path("adir").c_str(), 0700);
  mkfifo(dir.Path("afifo").c_str(), 0600);
  EXPECT_EQ(ReadPortLines(dir.Path("adir"), &problems), DefaultPortLines());
  EXPECT_EQ(ReadPortLines(dir.Path("afifo"), &problems), DefaultPortLines());
  EXPECT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[1].find("cannot be read (not a regular file)"), std::string::npos);
}

TEST(PortTable, LogsProblemsOnceAndRereadsOnePortQuietly) {
  TempDir dir;
  dir.Write("BridgePorts.conf", "COM1=/dev/one databits=9\nCOM2=/dev/two\n");
  LogCapture log;
  int located = 0;
  PortTable table([&] {
    ++located;
    return dir.Path("BridgePorts.conf");
  });
  EXPECT_EQ(log.Lines().size(), 1u) << log.All();
  EXPECT_EQ(log.Count(dir.Path("BridgePorts.conf") +
                      " line 1: bad value for databits 'databits=9', COM1 does not open"),
            1u)
      << log.All();
  EXPECT_FALSE(table.Line(0).fault.empty());

  // Mended for COM1, and COM2 moved: only the port read again takes its new line.
  dir.Write("BridgePorts.conf", "COM1=/dev/one databits=7\nCOM2=/dev/elsewhere idle=5 bad\n");
  table.Reread(0);
  EXPECT_TRUE(table.Line(0).fault.empty());
  EXPECT_EQ(table.Line(0).options.dataBits, 7);
  EXPECT_EQ(table.Line(1).path, "/dev/two");
  EXPECT_TRUE(table.Line(1).fault.empty());
  table.Reread(1);
  EXPECT_EQ(table.Line(1).path, "/dev/elsewhere");
  EXPECT_EQ(table.Line(1).fault,
            dir.Path("BridgePorts.conf") + " line 2: not an option (name=value) 'bad'");
  EXPECT_EQ(located, 3) << "the file is looked for at each reading";
  EXPECT_EQ(log.Lines().size(), 1u) << "reading again logs nothing: " << log.All();

  // A fixed table stays as it is.
  PortTable fixed(PortPathList{"/a", "/b", "/c", "/d", "/e", "/f", "/g", "/h"});
  fixed.Reread(2);
  EXPECT_EQ(fixed.Line(2).path, "/c");
}

}  // namespace
}  // namespace kov
