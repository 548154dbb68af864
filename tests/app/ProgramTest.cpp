// The real headless program, started in a temporary directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/support/Program.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Program, StartsInAnEmptyDirectoryWritesNothingAndEndsCleanlyOnSigterm) {
  for (int signo : {SIGTERM, SIGINT}) {
    TempDir dir;
    Program program(ProgramPath("kovbridge"), dir.Root());
    ASSERT_TRUE(program.WaitForLog("configuration not loaded")) << program.Stderr();
    program.Signal(signo);
    EXPECT_EQ(program.Wait(), 0) << program.Stderr();
    EXPECT_NE(program.Stderr().find("stopped"), std::string::npos) << program.Stderr();
    // Only the test's own capture files are there: the program wrote nothing.
    EXPECT_EQ(Entries(dir.Root()), (std::vector<std::string>{"stderr.log", "stdout.log"}));
  }
}

TEST(Program, HelpAndVersionPrintAndExit) {
  TempDir dir;
  {
    Program program(ProgramPath("kovbridge"), dir.Root(), {"--version"});
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.Stdout().rfind("KOV Bridge ", 0), 0u) << program.Stdout();
  }
  {
    Program program(ProgramPath("kovbridge"), dir.Root(), {"--help"});
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_NE(program.Stdout().find("BridgeConfig.sys"), std::string::npos);
  }
  {
    Program program(ProgramPath("kovbridge"), dir.Root(), {"--bogus"});
    EXPECT_EQ(program.Wait(), 2);
  }
}

}  // namespace
}  // namespace kov
