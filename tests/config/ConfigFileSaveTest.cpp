// Saving BridgeConfig.sys: the lines written, values that round-trip, the file's mode, and the
// saves that are refused or fail, which leave the old file as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <string>

#include "TestFiles.h"
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"

namespace kov {
namespace {

using test::CrLfText;
using test::DefaultLines;
using test::Exists;
using test::ReadBytes;
using test::WriteBytes;

const char kFile[] = "BridgeConfig.sys";
const char kTemp[] = "BridgeConfig.sys.tmp";
const char kOldText[] = "old contents\r\nthat must survive\r\n";

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

// Runs body in a child process and returns what it returned as exit status (or -1 when the
// child did not exit normally). Used where the child changes process-wide state.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Maps a Save result to an exit status.
int SaveStatus(TConfigFile& config) {
  const int32_t result = config.Save();
  if (result == 0) return 10;
  if (result == kErrFile) return 20;
  return 30;
}

using SaveTest = test::TempDirTest;

TEST_F(SaveTest, DefaultStoreWritesTheDefaultFileByteForByte) {
  TConfigFile config;
  EXPECT_EQ(config.Save(), 0);
  const std::string text = ReadBytes(kFile);
  EXPECT_EQ(text, CrLfText(DefaultLines()));
  EXPECT_EQ(text.substr(0, 40), "- Password:\r\nPZQ\r\n- ServicePort:\r\n8800\r\n");
  EXPECT_FALSE(Exists(kTemp));

  TConfigFile loaded;
  loaded.Password = "x";
  loaded.Ports[2].Active = 1;
  EXPECT_EQ(loaded.Load(), 0);
  EXPECT_EQ(loaded.Password, "PZQ");
  EXPECT_EQ(loaded.Ports[2].Active, 0);
}

TEST_F(SaveTest, OddValuesRoundTrip) {
  TConfigFile config;
  config.Password = "";
  config.ServicePort = "\xE4\xF6\xFC\x80\xFF";
  config.AccAddress = {"", "10.1.", "\xC0\xA8."};
  for (int p = 0; p < 8; ++p) {
    config.Ports[p] = PortSettings{-5 - p * 1000, p % 10, p % 3, static_cast<uint8_t>(p % 2)};
  }
  config.Ports[6].TcpPort = INT32_MIN;
  config.Ports[7] = PortSettings{INT32_MAX, 9, 2, 1};
  ASSERT_EQ(config.Save(), 0);

  const std::string text = ReadBytes(kFile);
  EXPECT_NE(text.find("\r\n\r\n- ServicePort:\r\n"), std::string::npos);  // empty password line
  EXPECT_NE(text.find("- Port 1:\r\nIdle\r\n-5\r\n300\r\nN\r\n"), std::string::npos);
  EXPECT_NE(text.find("- Port 2:\r\nActive\r\n-1005\r\n600\r\nO\r\n"), std::string::npos);

  TConfigFile loaded;
  ASSERT_EQ(loaded.Load(), 0);
  EXPECT_EQ(loaded.Password, config.Password);
  EXPECT_EQ(loaded.ServicePort, config.ServicePort);
  EXPECT_EQ(loaded.AccAddress, config.AccAddress);
  for (int p = 0; p < 8; ++p) {
    EXPECT_EQ(loaded.Ports[p].TcpPort, config.Ports[p].TcpPort) << p;
    EXPECT_EQ(loaded.Ports[p].SpeedIndex, config.Ports[p].SpeedIndex) << p;
    EXPECT_EQ(loaded.Ports[p].ParityIndex, config.Ports[p].ParityIndex) << p;
    EXPECT_EQ(loaded.Ports[p].Active, config.Ports[p].Active) << p;
  }
}

TEST_F(SaveTest, OutOfTableValuesAreWrittenAsTheirTextsAndFailToLoad) {
  TConfigFile config;
  config.Ports[0].Active = 7;
  config.Ports[1].SpeedIndex = 10;
  config.Ports[2].ParityIndex = -1;
  ASSERT_EQ(config.Save(), 0);
  const std::string text = ReadBytes(kFile);
  EXPECT_NE(text.find("- Port 1:\r\nIdle\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nUnown Speed\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nUnown Parity\r\n"), std::string::npos);

  TConfigFile loaded;
  EXPECT_EQ(loaded.Load(), kErrFileData);
  EXPECT_EQ(loaded.Ports[0].Active, 0);
  EXPECT_EQ(loaded.Ports[1].SpeedIndex, 9);
}

TEST_F(SaveTest, CreatesAMissingFileForItsOwnerOnly) {
  const mode_t old = umask(022);
  TConfigFile config;
  EXPECT_EQ(config.Save(), 0);
  EXPECT_EQ(ModeOf(kFile), 0600u);
  EXPECT_EQ(ReadBytes(kFile), CrLfText(DefaultLines()));
  config.Password = "again";
  EXPECT_EQ(config.Save(), 0);
  umask(old);
  EXPECT_EQ(ModeOf(kFile), 0600u) << "the replacing save keeps the mode";
}

TEST_F(SaveTest, ReplacesAnExistingFileKeepingItsModeButNotForOthers) {
  WriteBytes(kFile, std::string(5000, 'x'));  // longer than the new text: no tail may remain
  ASSERT_EQ(chmod(kFile, 0640), 0);
  TConfigFile config;
  config.Password = "new";
  EXPECT_EQ(config.Save(), 0);
  EXPECT_EQ(ModeOf(kFile), 0640u);
  std::vector<std::string> lines = DefaultLines();
  lines[1] = "new";
  EXPECT_EQ(ReadBytes(kFile), CrLfText(lines));

  // The password is no one else's business.
  ASSERT_EQ(chmod(kFile, 0666), 0);
  EXPECT_EQ(config.Save(), 0);
  EXPECT_EQ(ModeOf(kFile), 0660u);
}

TEST_F(SaveTest, StaleTemporaryFileIsReplaced) {
  WriteBytes(kTemp, "left over from an interrupted save");
  TConfigFile config;
  EXPECT_EQ(config.Save(), 0);
  EXPECT_FALSE(Exists(kTemp));
  EXPECT_EQ(ReadBytes(kFile), CrLfText(DefaultLines()));
}

TEST_F(SaveTest, SymbolicLinkStaysAndItsTargetIsWritten) {
  ASSERT_EQ(mkdir("real", 0755), 0);
  WriteBytes("real/conf.sys", kOldText);
  ASSERT_EQ(symlink("real/conf.sys", kFile), 0);
  TConfigFile config;
  EXPECT_EQ(config.Save(), 0);
  struct stat info {};
  ASSERT_EQ(lstat(kFile, &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(ReadBytes("real/conf.sys"), CrLfText(DefaultLines()));
  EXPECT_FALSE(Exists("real/conf.sys.tmp"));
}

TEST_F(SaveTest, DirectoryOfThatNameIsRefused) {
  ASSERT_EQ(mkdir(kFile, 0755), 0);
  TConfigFile config;
  EXPECT_EQ(config.Save(), kErrFile);
  struct stat info {};
  ASSERT_EQ(stat(kFile, &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_FALSE(Exists(kTemp));
}

TEST_F(SaveTest, PipeOfThatNameIsRefused) {
  ASSERT_EQ(mkfifo(kFile, 0644), 0);
  TConfigFile config;
  EXPECT_EQ(config.Save(), kErrFile);
  struct stat info {};
  ASSERT_EQ(lstat(kFile, &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Sets or clears the immutable attribute; false when the file system or our rights refuse.
bool SetImmutable(const char* path, bool on) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}

TEST_F(SaveTest, ImmutableFileIsRefusedAndUntouched) {
  WriteBytes(kFile, kOldText);
  if (!SetImmutable(kFile, true)) GTEST_SKIP() << "immutable attribute not available here";
  TConfigFile config;
  const int32_t result = config.Save();
  const std::string text = ReadBytes(kFile);
  ASSERT_TRUE(SetImmutable(kFile, false));
  EXPECT_EQ(result, kErrFile);
  EXPECT_EQ(text, kOldText);
  EXPECT_FALSE(Exists(kTemp));
}

TEST_F(SaveTest, ReadOnlyFileIsRefusedAndUntouched) {
  WriteBytes(kFile, kOldText);
  ASSERT_EQ(chmod(kFile, 0444), 0);
  // Root opens read-only files for writing, so as root the save runs in a child that has given
  // up its privileges.
  uid_t uid = getuid();
  gid_t gid = getgid();
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    uid = nobody->pw_uid;
    gid = nobody->pw_gid;
    ASSERT_EQ(chmod(dir.Root().c_str(), 0777), 0);  // the child could create files here
  }
  const int status = InChild([&] {
    if (geteuid() == 0 && (setgid(gid) != 0 || setuid(uid) != 0)) return 40;
    TConfigFile config;
    return SaveStatus(config);
  });
  EXPECT_EQ(status, 20);
  EXPECT_EQ(ReadBytes(kFile), kOldText);
  EXPECT_EQ(ModeOf(kFile), 0444u);
  EXPECT_FALSE(Exists(kTemp));
}

TEST_F(SaveTest, TemporaryNameTakenLeavesTheOldFile) {
  WriteBytes(kFile, kOldText);
  ASSERT_EQ(mkdir(kTemp, 0755), 0);
  TConfigFile config;
  EXPECT_EQ(config.Save(), kErrFile);
  EXPECT_EQ(ReadBytes(kFile), kOldText);
  struct stat info {};
  ASSERT_EQ(stat(kTemp, &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));  // not ours: left alone
}

TEST_F(SaveTest, FailingWriteLeavesTheOldFileAndNoTemporary) {
  WriteBytes(kFile, kOldText);
  // A file size limit makes the write fail half-way for root as for anyone.
  const int status = InChild([] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 40;
    TConfigFile config;
    return SaveStatus(config);
  });
  EXPECT_EQ(status, 20);
  EXPECT_EQ(ReadBytes(kFile), kOldText);
  EXPECT_FALSE(Exists(kTemp));
}

TEST_F(SaveTest, MissingDirectoryIsRefused) {
  TConfigFile config(Path("no/such/dir/BridgeConfig.sys"));
  EXPECT_EQ(config.Save(), kErrFile);
  EXPECT_FALSE(Exists(Path("no")));
}

}  // namespace
}  // namespace kov
