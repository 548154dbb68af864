#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"

namespace kov {
namespace {

using test::CrLfText;
using test::DefaultLines;
using test::ReadBytes;
using test::WriteBytes;

// Line index (from 0) of field k (0 heading, 1 state, 2 TCP port, 3 speed, 4 parity) of port p.
size_t PortLine(int p, int k) { return static_cast<size_t>(8 + 5 * p + k); }

// A complete file whose every value differs from the defaults, so each assignment shows.
std::vector<std::string> DistinctLines() {
  std::vector<std::string> lines = DefaultLines();
  lines[1] = "secret";
  lines[3] = "9900";
  lines[5] = "10.";
  lines[6] = "11.";
  lines[7] = "12.";
  for (int p = 0; p < 8; ++p) {
    lines[PortLine(p, 1)] = "Active";
    lines[PortLine(p, 2)] = std::to_string(100 + p);
    lines[PortLine(p, 3)] = "2400";
    lines[PortLine(p, 4)] = "N";
  }
  return lines;
}

void ExpectDefaultPort(const PortSettings& port, int p) {
  EXPECT_EQ(port.Active, 0) << "port " << p;
  EXPECT_EQ(port.TcpPort, 8801 + p) << "port " << p;
  EXPECT_EQ(port.SpeedIndex, 9) << "port " << p;
  EXPECT_EQ(port.ParityIndex, 2) << "port " << p;
}

void ExpectDistinctPort(const PortSettings& port, int p) {
  EXPECT_EQ(port.Active, 1) << "port " << p;
  EXPECT_EQ(port.TcpPort, 100 + p) << "port " << p;
  EXPECT_EQ(port.SpeedIndex, 3) << "port " << p;
  EXPECT_EQ(port.ParityIndex, 0) << "port " << p;
}

void ExpectDistinctHeader(const TConfigFile& config) {
  EXPECT_EQ(config.Password, "secret");
  EXPECT_EQ(config.ServicePort, "9900");
  EXPECT_EQ(config.AccAddress, (TAccAddress{"10.", "11.", "12."}));
}

void ExpectDefaults(const TConfigFile& config) {
  EXPECT_EQ(config.Password, "PZQ");
  EXPECT_EQ(config.ServicePort, "8800");
  EXPECT_EQ(config.AccAddress, (TAccAddress{"None", "None", "None"}));
  for (int p = 0; p < 8; ++p) ExpectDefaultPort(config.Ports[p], p);
}

class LoadTest : public test::TempDirTest {
 protected:
  // Writes text as the configuration file and loads it into config_.
  int32_t LoadText(const std::string& text) {
    WriteBytes(file_, text);
    return config_.Load();
  }

  std::string file_ = "BridgeConfig.sys";
  TConfigFile config_;
};

TEST_F(LoadTest, DefaultsAndNoFile) {
  EXPECT_EQ(config_.FileName(), "BridgeConfig.sys");
  ExpectDefaults(config_);
  EXPECT_EQ(config_.Load(), kErrFile);
  ExpectDefaults(config_);
}

TEST_F(LoadTest, CompleteFileAssignsEveryField) {
  EXPECT_EQ(LoadText(CrLfText(DistinctLines())), 0);
  ExpectDistinctHeader(config_);
  for (int p = 0; p < 8; ++p) ExpectDistinctPort(config_.Ports[p], p);
}

TEST_F(LoadTest, LineEndsLfOnlyAndLoneCr) {
  std::string lfOnly;
  for (const std::string& line : DistinctLines()) lfOnly += line + "\n";
  EXPECT_EQ(LoadText(lfOnly), 0);
  ExpectDistinctHeader(config_);
  for (int p = 0; p < 8; ++p) ExpectDistinctPort(config_.Ports[p], p);

  // A CR not followed by LF is left out of the value; CR CR LF ends the line as CR LF does.
  std::vector<std::string> lines = DistinctLines();
  lines[1] = "se\rcr\ret\r";
  lines[3] = "\r9900";
  lines[PortLine(0, 2)] = "1\r00";
  lines[PortLine(0, 4)] = "N\r";
  EXPECT_EQ(LoadText(CrLfText(lines)), 0);
  EXPECT_EQ(config_.Password, "secret");
  EXPECT_EQ(config_.ServicePort, "9900");
  EXPECT_EQ(config_.Ports[0].TcpPort, 100);
  EXPECT_EQ(config_.Ports[0].ParityIndex, 0);
}

TEST_F(LoadTest, MissingFinalLineEndIsFine) {
  std::string text = CrLfText(DistinctLines());
  text.resize(text.size() - 2);
  EXPECT_EQ(LoadText(text), 0);
  EXPECT_EQ(config_.Ports[7].ParityIndex, 0);
}

TEST_F(LoadTest, HeadingTextsAndLinesAfterTheLastAreIgnored) {
  std::vector<std::string> lines = DistinctLines();
  lines[0] = "anything";
  lines[2] = "";
  lines[4] = "\xFF\xFE";
  for (int p = 0; p < 8; ++p) lines[PortLine(p, 0)] = "Port " + std::to_string(8 - p);
  lines.push_back("garbage");
  lines.push_back("Active");
  lines.push_back("");
  EXPECT_EQ(LoadText(CrLfText(lines)), 0);
  ExpectDistinctHeader(config_);
  for (int p = 0; p < 8; ++p) ExpectDistinctPort(config_.Ports[p], p);
}

TEST_F(LoadTest, CtrlZEndsTheFile) {
  // After the last line: whatever follows is not read.
  EXPECT_EQ(LoadText(CrLfText(DistinctLines()) + "\x1A" + "junk\r\nmore"), 0);
  ExpectDistinctHeader(config_);

  // Inside the password line: the rest of the file reads as empty lines.
  TConfigFile second;
  second.Ports[0].Active = 1;
  WriteBytes(file_, "- Password:\r\nPZ\x1AQ\r\n- ServicePort:\r\n8800\r\n");
  EXPECT_EQ(second.Load(), kErrFileData);
  EXPECT_EQ(second.Password, "PZ");
  EXPECT_EQ(second.ServicePort, "");
  EXPECT_EQ(second.AccAddress, (TAccAddress{"", "", ""}));
  EXPECT_EQ(second.Ports[0].Active, 1);  // the empty state line failed before assignment
}

TEST_F(LoadTest, CtrlZBeforeAPortGroupFailsThere) {
  std::vector<std::string> lines = DistinctLines();
  std::string text = CrLfText({lines.begin(), lines.begin() + 18}) + "\x1A" +
                     CrLfText({lines.begin() + 18, lines.end()});
  EXPECT_EQ(LoadText(text), kErrFileData);
  ExpectDistinctHeader(config_);
  ExpectDistinctPort(config_.Ports[0], 0);
  ExpectDistinctPort(config_.Ports[1], 1);
  for (int p = 2; p < 8; ++p) ExpectDefaultPort(config_.Ports[p], p);
}

TEST_F(LoadTest, EmptyFileEmptiesTheHeaderAndFailsAtPortOne) {
  config_.Ports[0].Active = 1;
  EXPECT_EQ(LoadText(""), kErrFileData);
  EXPECT_EQ(config_.Password, "");
  EXPECT_EQ(config_.ServicePort, "");
  EXPECT_EQ(config_.AccAddress, (TAccAddress{"", "", ""}));
  EXPECT_EQ(config_.Ports[0].Active, 1);
  for (int p = 1; p < 8; ++p) ExpectDefaultPort(config_.Ports[p], p);
}

TEST_F(LoadTest, TolerantValues) {
  std::vector<std::string> lines = DefaultLines();
  lines[PortLine(0, 1)] = "Active1";
  lines[PortLine(0, 3)] = "96000";
  lines[PortLine(1, 1)] = "Idle but not quite";
  lines[PortLine(1, 2)] = "  -5";
  lines[PortLine(2, 2)] = "70000";
  lines[PortLine(3, 2)] = "+8801";
  lines[PortLine(4, 2)] = "-2147483648";
  lines[PortLine(5, 2)] = "2147483647";
  lines[PortLine(6, 3)] = "3000";
  config_.Ports[1].Active = 1;
  EXPECT_EQ(LoadText(CrLfText(lines)), 0);
  EXPECT_EQ(config_.Ports[0].Active, 1);
  EXPECT_EQ(config_.Ports[0].SpeedIndex, 5);
  EXPECT_EQ(config_.Ports[1].Active, 0);
  EXPECT_EQ(config_.Ports[1].TcpPort, -5);
  EXPECT_EQ(config_.Ports[2].TcpPort, 70000);
  EXPECT_EQ(config_.Ports[3].TcpPort, 8801);
  EXPECT_EQ(config_.Ports[4].TcpPort, INT32_MIN);
  EXPECT_EQ(config_.Ports[5].TcpPort, INT32_MAX);
  EXPECT_EQ(config_.Ports[6].SpeedIndex, 0);
}

TEST_F(LoadTest, HeaderFieldsAreTakenUnchecked) {
  std::vector<std::string> lines = DefaultLines();
  lines[1] = "";
  lines[3] = "not a number";
  lines[5] = "";
  lines[6] = "\x80\xFF high bytes";
  lines[7] = " spaced ";
  EXPECT_EQ(LoadText(CrLfText(lines)), 0);
  EXPECT_EQ(config_.Password, "");
  EXPECT_EQ(config_.ServicePort, "not a number");
  EXPECT_EQ(config_.AccAddress, (TAccAddress{"", "\x80\xFF high bytes", " spaced "}));
}

TEST_F(LoadTest, OverlongLineIsDamageWhereItStands) {
  // The longest value is taken; CRs do not count towards it.
  std::vector<std::string> lines = DistinctLines();
  const std::string longest(256, 'p');
  lines[1] = longest + "\r\r";
  lines[7] = std::string(128, '1') + "\r" + std::string(128, '2');
  EXPECT_EQ(LoadText(CrLfText(lines)), 0);
  EXPECT_EQ(config_.Password, longest);
  EXPECT_EQ(config_.AccAddress[2], std::string(128, '1') + std::string(128, '2'));

  // One byte more in the password line: only the heading before it was read.
  TConfigFile fresh;
  lines[1] = longest + "p";
  WriteBytes(file_, CrLfText(lines));
  EXPECT_EQ(fresh.Load(), kErrFileData);
  ExpectDefaults(fresh);

  // A megabyte in the third entry: the lines before it are assigned, the rest is not.
  TConfigFile partly;
  lines = DistinctLines();
  lines[7] = std::string(1 << 20, '1');
  WriteBytes(file_, CrLfText(lines));
  EXPECT_EQ(partly.Load(), kErrFileData);
  EXPECT_EQ(partly.Password, "secret");
  EXPECT_EQ(partly.AccAddress, (TAccAddress{"10.", "11.", "None"}));
  ExpectDefaultPort(partly.Ports[0], 0);
}

// A state line that would convert were it not longer than any value.
const std::string kOverlongState = "Active" + std::string(300, ' ');

// A port line that does not convert: -296 there, no rollback of the lines before it.
struct BadLine {
  int port;   // 0..7
  int field;  // 1 state, 2 TCP port, 3 speed, 4 parity
  const char* text;
};

class BadLineTest : public LoadTest, public ::testing::WithParamInterface<BadLine> {};

TEST_P(BadLineTest, StopsAtTheLineWithoutRollback) {
  const BadLine bad = GetParam();
  std::vector<std::string> lines = DistinctLines();
  lines[PortLine(bad.port, bad.field)] = bad.text;
  EXPECT_EQ(LoadText(CrLfText(lines)), kErrFileData);

  ExpectDistinctHeader(config_);
  for (int p = 0; p < bad.port; ++p) ExpectDistinctPort(config_.Ports[p], p);
  const PortSettings& port = config_.Ports[bad.port];
  EXPECT_EQ(port.Active, bad.field > 1 ? 1 : 0);
  EXPECT_EQ(port.TcpPort, bad.field > 2 ? 100 + bad.port : 8801 + bad.port);
  EXPECT_EQ(port.SpeedIndex, bad.field > 3 ? 3 : 9);
  EXPECT_EQ(port.ParityIndex, 2);
  for (int p = bad.port + 1; p < 8; ++p) ExpectDefaultPort(config_.Ports[p], p);
}

INSTANTIATE_TEST_SUITE_P(EveryLineKind, BadLineTest,
                         ::testing::Values(
                             // state lines
                             BadLine{0, 1, ""}, BadLine{0, 1, "idle"}, BadLine{4, 1, "Activated"},
                             BadLine{7, 1, " Active"}, BadLine{3, 1, "ACTIVE"},
                             // TCP port lines
                             BadLine{0, 2, ""}, BadLine{1, 2, "12a"}, BadLine{5, 2, "99999999999"},
                             BadLine{7, 2, "8801 "}, BadLine{2, 2, "2147483648"},
                             // speed lines: no integer, or an integer that begins with no rate text
                             BadLine{2, 3, "fast"}, BadLine{2, 3, " 9600"}, BadLine{6, 3, "9601"},
                             BadLine{0, 3, "110"}, BadLine{1, 3, "115200 baud"}, BadLine{3, 3, ""},
                             BadLine{7, 3, "09600"},
                             // parity lines
                             BadLine{0, 4, "e"}, BadLine{3, 4, "EO"}, BadLine{7, 4, ""},
                             BadLine{5, 4, "N "}, BadLine{6, 4, "Unown Parity"},
                             // a line longer than any value
                             BadLine{3, 1, kOverlongState.c_str()}));

TEST_F(LoadTest, DirectoryOfThatNameCannotBeLoaded) {
  ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);
  config_.Password = "kept";
  EXPECT_EQ(config_.Load(), kErrFile);
  EXPECT_EQ(config_.Password, "kept");
}

TEST_F(LoadTest, PipeOfThatNameIsRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo(file_.c_str(), 0644), 0);
  EXPECT_EQ(config_.Load(), kErrFile);
  ExpectDefaults(config_);
}

TEST_F(LoadTest, ReadFailureAfterOpenLeavesTheStore) {
  // Reading a process's own memory at offset 0 opens fine and then fails with EIO: a real
  // read error on a regular file.
  const std::string path = "/proc/self/mem";
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  ASSERT_TRUE(S_ISREG(info.st_mode));
  TConfigFile config(path);
  config.Password = "kept";
  config.Ports[3].TcpPort = 1;
  EXPECT_EQ(config.Load(), kErrFile);
  EXPECT_EQ(config.Password, "kept");
  EXPECT_EQ(config.Ports[3].TcpPort, 1);
}

TEST_F(LoadTest, ExplicitPathIsUsed) {
  const std::string path = Path("other.sys");
  WriteBytes(path, CrLfText(DistinctLines()));
  TConfigFile config(path);
  EXPECT_EQ(config.FileName(), path);
  EXPECT_EQ(config.Load(), 0);
  ExpectDistinctHeader(config);
  EXPECT_EQ(config_.Load(), kErrFile);  // nothing under the default name
}

}  // namespace
}  // namespace kov
