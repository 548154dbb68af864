// The real headless program saving its settings under a file size limit (as `ulimit -f` or a
// quota would set): the save fails with the save error, and nothing else happens.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

const std::string kSaveError = "SaveConfig\r\nFileError: Can't open BridgeConfig.sys file !\n\r\n\r";

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(SaveLimit, SaveThatCannotBeWrittenAnswersTheErrorAndTheProgramGoesOnBridging) {
  ProgramBench bench;
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  const std::string file = bench.dir.Path("BridgeConfig.sys");
  const std::string before = bench.dir.Read("BridgeConfig.sys");
  TcpClient client;
  ASSERT_TRUE(bench.Bridge(client));
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));
  ASSERT_EQ(ProgramBench::Command(console, "Baud 1 9600"),
            "Baud 1 9600\r\n OK. \n\r" + kConsolePrompt);

  // Files of the program may not grow beyond 100 bytes from now on; the settings take more.
  rlimit unlimited{};
  const rlimit limit{100, RLIM_INFINITY};
  ASSERT_EQ(prlimit(bench.program->Pid(), RLIMIT_FSIZE, &limit, &unlimited), 0);
  EXPECT_EQ(ProgramBench::Command(console, "SaveConfig"), kSaveError + kConsolePrompt);
  ASSERT_TRUE(bench.program->Running()) << "a file size limit must not end the program";
  EXPECT_EQ(bench.dir.Read("BridgeConfig.sys"), before);
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));

  // Still bridging, both ways.
  ASSERT_TRUE(client.Send("to the device"));
  EXPECT_EQ(bench.com1.ReadExactly(13), "to the device");
  ASSERT_TRUE(bench.com1.Write("to the client"));
  EXPECT_EQ(client.ReadExactly(13), "to the client");

  // With room again the same save succeeds, and the file stays its owner's alone.
  ASSERT_EQ(prlimit(bench.program->Pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0);
  EXPECT_EQ(ProgramBench::Command(console, "SaveConfig"),
            "SaveConfig\r\n OK. \n\r" + kConsolePrompt);
  TConfigFile saved(file);
  ASSERT_EQ(saved.Load(), 0);
  EXPECT_EQ(saved.Ports[0].SpeedIndex, 5);
  EXPECT_EQ(ModeOf(file), 0600u);
}

}  // namespace
}  // namespace kov
