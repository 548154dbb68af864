// The real program with notices=off on a port: its clients get the device's bytes and nothing
// else, every close an orderly one without text, while a port beside it keeps every notice; and
// a real Modbus RTU master (Debian's python3-pymodbus) through such a port.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "tests/app/ProgramBench.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

const std::string kNoticeB03("\nB03S00A5\r\vB03S00A5\r", 20);

// COM1 quiet (notices=off), COM2 as ever, COM3 quiet with a two-second idle time; all active,
// clients accepted from 127.0.0.1 only.
class NoticesOffProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    bench.dir.Write("BridgePorts.conf", "COM1=" + com[0].Path() +
                                            " notices=off\nCOM2=" + com[1].Path() +
                                            "\nCOM3=" + com[2].Path() + " idle=2 notices=off\n");
    bench.config.AccAddress[0] = "127.0.0.1";
    for (int i = 0; i < 3; ++i) {
      ports[i] = bench.config.Ports[i].TcpPort;
      bench.config.Ports[i].Active = 1;
    }
    ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
    program = bench.program.get();
    for (int port : ports) ASSERT_TRUE(WaitListening(port)) << program->Stderr();
  }
  static std::string Command(TcpClient& console, const std::string& line) {
    return ProgramBench::Command(console, line);
  }
  // The client is closed, orderly, with nothing but expected before the end.
  void ExpectQuietClose(TcpClient& client, const std::string& expected = "") {
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(5000, &rest));
    EXPECT_EQ(rest, expected);
    EXPECT_FALSE(client.WasReset()) << "an orderly close, not a reset";
  }

  ProgramBench bench;
  Pty com[3];
  int ports[3] = {};
  Program* program = nullptr;
};

TEST_F(NoticesOffProgram, ClientsGetTheDevicesBytesAndNothingElse) {
  // A first client from an address that is not accepted: closed without a byte.
  TcpClient stranger;
  ASSERT_TRUE(stranger.Connect(ports[0], {"127.0.0.2"}));
  stranger.Send("hello?");
  ExpectQuietClose(stranger);

  // Taken on without a notice; bytes both ways.
  TcpClient client;
  ASSERT_TRUE(client.Connect(ports[0]));
  ASSERT_TRUE(program->WaitForLog("COM1: client 127.0.0.1 bridged"));
  EXPECT_EQ(client.ReadFor(200), "");
  ASSERT_TRUE(client.Send("request"));
  EXPECT_EQ(com[0].ReadExactly(7), "request");
  ASSERT_TRUE(com[0].Write("answer"));
  EXPECT_EQ(client.ReadExactly(6), "answer");

  // A second client, which talks at once: closed without a byte, the first one carries on.
  TcpClient second;
  ASSERT_TRUE(second.Connect(ports[0]));
  second.Send("me too");
  ExpectQuietClose(second);
  ASSERT_TRUE(client.Send("still"));
  EXPECT_EQ(com[0].ReadExactly(5), "still");

  // Stop 1: the bytes the device had sent, then an orderly close without text.
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));
  ASSERT_TRUE(com[0].Write("last words"));
  EXPECT_EQ(client.ReadExactly(10), "last words");
  EXPECT_EQ(Command(console, "Stop 1"), "Stop 1\r\n OK. \n\r" + kConsolePrompt);
  ExpectQuietClose(client);

  // A silent client of the quiet port with an idle time: let go without a byte.
  TcpClient silent;
  ASSERT_TRUE(silent.Connect(ports[2]));
  std::string rest;
  EXPECT_TRUE(silent.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "");
  EXPECT_FALSE(silent.WasReset());

  // The port beside them still gets every notice.
  TcpClient loud;
  ASSERT_TRUE(loud.Connect(ports[1]));
  EXPECT_EQ(loud.ReadExactly(20), kNoticeB01);
  TcpClient busy;
  ASSERT_TRUE(busy.Connect(ports[1]));
  ExpectQuietClose(busy, kNoticeB03);
  EXPECT_EQ(Command(console, "Stop 2"), "Stop 2\r\n OK. \n\r" + kConsolePrompt);
  ExpectQuietClose(loud, kNoticeB02);

  // Each close says why, as on any port.
  const std::string log = program->Stderr();
  for (const char* line : {"COM1: client 127.0.0.2 refused, address not accepted",
                           "COM1: client 127.0.0.1 refused, the port is in use",
                           "COM1: client 127.0.0.1 let go (the bridge closed)",
                           "COM3: client 127.0.0.1 let go (silent for 2000 ms)",
                           "COM2: client 127.0.0.1 let go (the bridge closed)"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

// The CRC of Modbus RTU frames.
uint16_t Crc16(const std::string& bytes) {
  uint16_t crc = 0xFFFF;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

std::string WithCrc(std::string frame) {
  const uint16_t crc = Crc16(frame);
  frame += static_cast<char>(crc & 0xFF);
  frame += static_cast<char>(crc >> 8);
  return frame;
}

// A Modbus RTU master: 300 reads of holding registers through the bridge, each answer checked
// against what the slave below keeps (register r holds r * 7 + 1).
const char kMaster[] = R"(
import sys
from pymodbus.client import ModbusTcpClient
from pymodbus.transaction import ModbusRtuFramer
client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), framer=ModbusRtuFramer, timeout=3,
                         retries=0)
if not client.connect():
    sys.exit("cannot connect")
good = 0
for i in range(300):
    address = (i * 13) % 200
    count = 1 + i % 10
    reply = client.read_holding_registers(address, count, slave=17)
    if reply.isError():
        sys.exit("request %d: %s" % (i, reply))
    if reply.registers != [((address + k) * 7 + 1) & 0xFFFF for k in range(count)]:
        sys.exit("request %d: wrong registers %s" % (i, reply.registers))
    good += 1
client.close()
print("answers", good)
)";

TEST_F(NoticesOffProgram, AModbusMasterGetsEveryAnswerRight) {
  // In a directory of its own: the master's output files are not the program's.
  TempDir masterDir;
  masterDir.Write("master.py", kMaster);
  Program master("/usr/bin/python3", masterDir.Root(), {"master.py", std::to_string(ports[0])});
  // The slave, on the device's end of the line: a read request is 8 bytes.
  std::string pending;
  int answered = 0;
  while (master.Running()) {
    pending += com[0].ReadExactly(8 - pending.size() % 8, 20);
    if (pending.size() < 8) continue;
    const std::string request = pending.substr(0, 8);
    pending.erase(0, 8);
    ASSERT_EQ(WithCrc(request.substr(0, 6)), request) << "a broken request frame";
    ASSERT_EQ(request[0], 17);
    ASSERT_EQ(request[1], 3);
    const int address = (static_cast<uint8_t>(request[2]) << 8) | static_cast<uint8_t>(request[3]);
    const int count = (static_cast<uint8_t>(request[4]) << 8) | static_cast<uint8_t>(request[5]);
    std::string reply = {17, 3, static_cast<char>(count * 2)};
    for (int k = 0; k < count; ++k) {
      const int value = ((address + k) * 7 + 1) & 0xFFFF;
      reply += static_cast<char>(value >> 8);
      reply += static_cast<char>(value & 0xFF);
    }
    ASSERT_TRUE(com[0].Write(WithCrc(reply)));
    ++answered;
  }
  EXPECT_EQ(master.Wait(), 0) << master.Stderr() << program->Stderr();
  EXPECT_EQ(master.Stdout(), "answers 300\n") << master.Stderr();
  EXPECT_EQ(answered, 300);
}

}  // namespace
}  // namespace kov
