// The configuration tests' helpers: the working directory per test and whole-file reads and
// writes.
#include "TestFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>

namespace kov::test {

void TempDirTest::SetUp() {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  oldCwd_ = cwd;
  ASSERT_EQ(chdir(dir.Root().c_str()), 0);
}

void TempDirTest::TearDown() {
  if (!oldCwd_.empty()) {
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
  }
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out.good()) << path;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

std::string CrLfText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

std::vector<std::string> DefaultLines() {
  return {
      "- Password:", "PZQ",  "- ServicePort:", "8800",   "- Accept TCP/IP Address:",
      "None",        "None", "None",                           //
      "- Port 1:",   "Idle", "8801",           "115200", "E",  //
      "- Port 2:",   "Idle", "8802",           "115200", "E",  //
      "- Port 3:",   "Idle", "8803",           "115200", "E",  //
      "- Port 4:",   "Idle", "8804",           "115200", "E",  //
      "- Port 5:",   "Idle", "8805",           "115200", "E",  //
      "- Port 6:",   "Idle", "8806",           "115200", "E",  //
      "- Port 7:",   "Idle", "8807",           "115200", "E",  //
      "- Port 8:",   "Idle", "8808",           "115200", "E",
  };
}

}  // namespace kov::test
