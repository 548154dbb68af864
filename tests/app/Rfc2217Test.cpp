// The real program with protocol=rfc2217 on a port, driven by Debian's own remote-serial client
// (python3-serial's rfc2217:// URLs): the client sets the line and the modem lines, a megabyte
// goes each way with every byte value intact, the port takes its own line again when the client
// leaves, a second client is closed without text, and a raw port beside it is unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/app/ProgramBench.h"
#include "tests/support/Pattern.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

constexpr size_t kBulk = 1 << 20;

// The client. It opens at 9600 8E2, says so through the line, waits for the device's "go",
// moves to 19200, waits again, toggles DTR and RTS, sends a megabyte, reads one, and reports.
const char kClient[] = R"(
import sys, serial
def pattern(size, seed):
    out = bytearray(size)
    x = seed
    for i in range(size):
        x = (x * 1664525 + 1013904223) & 0xffffffff
        out[i] = (i & 0xff) if i < 4096 else (x >> 24)
    return bytes(out)
size = int(sys.argv[2])
s = serial.serial_for_url("rfc2217://127.0.0.1:%s" % sys.argv[1], baudrate=9600, bytesize=8,
                          parity="E", stopbits=2, timeout=30)
s.write(b"opened\n")
if s.read(3) != b"go\n":
    sys.exit("no go after the open")
s.baudrate = 19200
s.write(b"rate\n")
if s.read(3) != b"go\n":
    sys.exit("no go after the rate")
for level in (False, True):
    s.dtr = level
    s.rts = level
print("signals", s.dtr, s.rts)
s.write(pattern(size, 1))
s.flush()
got = s.read(size)
print("received", len(got), got == pattern(size, 2))
s.close()
)";

termios TermiosOf(const Pty& pty) {
  termios t{};
  const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    tcgetattr(fd, &t);
    close(fd);
  }
  return t;
}

// The rate and stop bits the pseudo-terminal holds: "9600 2 stop". (The kernel keeps a
// pseudo-terminal at 8 bits without parity whatever it is given; the serial layer's log tells
// the data bits and parity it took.)
std::string Describe(const termios& t) {
  std::string rate;
  switch (cfgetospeed(&t)) {
    case B9600:
      rate = "9600";
      break;
    case B19200:
      rate = "19200";
      break;
    case B115200:
      rate = "115200";
      break;
    default:
      rate = "?";
      break;
  }
  return rate + ((t.c_cflag & CSTOPB) ? " 2 stop" : " 1 stop");
}

TEST(Rfc2217Program, HelpNamesTheOption) {
  TempDir dir;
  Program help(ProgramPath("kovbridge"), dir.Root(), {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Stdout().find("protocol=raw|rfc2217"), std::string::npos) << help.Stdout();
}

TEST(Rfc2217Program, AClientDrivesTheLineAndTheBytesPassIntact) {
  ProgramBench bench({1, 2});
  Pty& device = bench.Device(1);
  Pty& rawDevice = bench.Device(2);
  bench.dir.Write("BridgePorts.conf",
                  "COM1=" + device.Path() + " protocol=rfc2217\nCOM2=" + rawDevice.Path() + "\n");
  // The stored line: 115200, no parity.
  bench.config.Ports[0].SpeedIndex = 9;
  bench.config.Ports[0].ParityIndex = 0;
  bench.config.Ports[1].Active = 1;
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  Program& program = *bench.program;
  ASSERT_TRUE(WaitListening(bench.com1Port));
  ASSERT_TRUE(WaitListening(bench.config.Ports[1].TcpPort));
  EXPECT_EQ(Describe(TermiosOf(device)), "115200 1 stop");

  TempDir clientDir;
  clientDir.Write("client.py", kClient);
  Program client("/usr/bin/python3", clientDir.Root(),
                 {"client.py", std::to_string(bench.com1Port), std::to_string(kBulk)});

  // Opened at 9600 8E2, the line says so.
  ASSERT_EQ(device.ReadExactly(7, 15000), "opened\n") << client.Stderr() << program.Stderr();
  EXPECT_EQ(Describe(TermiosOf(device)), "9600 2 stop");
  EXPECT_TRUE(program.WaitForLog("COM1 set to 9600 8E2 (" + device.Path() + ")"));

  // A second client meanwhile: closed without a byte, and the log says why.
  TcpClient second;
  ASSERT_TRUE(second.Connect(bench.com1Port));
  std::string rest;
  EXPECT_TRUE(second.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_TRUE(program.WaitForLog("COM1: client 127.0.0.1 refused, the port is in use (rfc2217"));

  ASSERT_TRUE(device.Write("go\n"));
  ASSERT_EQ(device.ReadExactly(5, 10000), "rate\n") << client.Stderr();
  EXPECT_EQ(Describe(TermiosOf(device)), "19200 2 stop");
  EXPECT_TRUE(program.WaitForLog("COM1 set to 19200 8E2 (" + device.Path() + ")"));
  ASSERT_TRUE(device.Write("go\n"));

  // A megabyte each way, every byte value 255 among them.
  const std::string up = device.ReadExactly(kBulk, 60000);
  EXPECT_EQ(up.size(), kBulk);
  EXPECT_TRUE(up == PatternBytes(kBulk, 1)) << "the client's bytes changed on the way";
  ASSERT_TRUE(device.Write(PatternBytes(kBulk, 2), 60000));
  EXPECT_EQ(client.Wait(), 0) << client.Stderr() << program.Stderr();
  // A pseudo-terminal has no modem lines: DTR and RTS keep what the client gave them.
  EXPECT_EQ(client.Stdout(), "signals True True\nreceived 1048576 True\n") << client.Stderr();

  // Gone: the port has its own line again, and neither file changed.
  ASSERT_TRUE(program.WaitForLog("COM1: client 127.0.0.1 let go (it closed the connection)"));
  EXPECT_TRUE(program.WaitForLog("COM1 set to 115200 8N1 (" + device.Path() + ")"));
  EXPECT_EQ(Describe(TermiosOf(device)), "115200 1 stop") << program.Stderr();
  EXPECT_EQ(bench.dir.Read("BridgePorts.conf"),
            "COM1=" + device.Path() + " protocol=rfc2217\nCOM2=" + rawDevice.Path() + "\n");
  TConfigFile stored(bench.dir.Path("BridgeConfig.sys"));
  ASSERT_EQ(stored.Load(), 0);
  EXPECT_EQ(stored.Ports[0].SpeedIndex, 9);
  EXPECT_EQ(stored.Ports[0].ParityIndex, 0);

  // The raw port beside it: the notice, and every byte as it is, 255 included, both ways.
  TcpClient raw;
  ASSERT_TRUE(raw.Connect(bench.config.Ports[1].TcpPort));
  EXPECT_EQ(raw.ReadExactly(kNoticeB01.size()), kNoticeB01);
  const std::string bytes = PatternBytes(8192, 3);
  ASSERT_TRUE(raw.Send(bytes));
  EXPECT_TRUE(rawDevice.ReadExactly(bytes.size()) == bytes);
  ASSERT_TRUE(rawDevice.Write(bytes));
  EXPECT_TRUE(raw.ReadExactly(bytes.size()) == bytes);
}

}  // namespace
}  // namespace kov
