// One program per working directory: the claim itself, and the real program refusing to run
// where another one holds the directory.
#include "app/DirectoryClaim.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>

#include "tests/support/ActivePortDir.h"
#include "tests/support/Program.h"

namespace kov {
namespace {

const std::string kB01("\nB01S00A3\r\vB01S00A3\r", 20);

bool EmptyDir(const std::string& path) {
  return std::filesystem::is_empty(std::filesystem::path(path));
}

// Starts kovbridge with args in dir, its output going to name.out and name.err in logs (the
// capture files in dir are the first program's).
std::unique_ptr<Program> StartIn(const std::string& dir, const std::string& args,
                                 const TempDir& logs, const std::string& name) {
  std::string script = "cd '" + dir + "' && exec '" + ProgramPath("kovbridge") + "' " + args +
                       " >'" + logs.Path(name + ".out") + "' 2>'" + logs.Path(name + ".err") + "'";
  return std::make_unique<Program>("/bin/sh", logs.Root(), std::vector<std::string>{"-c", script});
}

TEST(DirectoryClaim, OneHolderPerDirectoryNamedByPidReleasedEvenBySigkill) {
  TempDir a, b;
  EventLoop loop;
  {
    DirectoryClaim first(loop, a.Root());
    ASSERT_TRUE(first.Held()) << first.Refusal();
    EXPECT_EQ(first.Directory(), std::filesystem::canonical(a.Root()).string());

    DirectoryClaim second(loop, a.Root() + "/.");
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.Holder(), getpid());
    EXPECT_NE(second.Refusal().find(first.Directory()), std::string::npos) << second.Refusal();
    EXPECT_NE(second.Refusal().find("process " + std::to_string(getpid())), std::string::npos)
        << second.Refusal();

    DirectoryClaim other(loop, b.Root());
    EXPECT_TRUE(other.Held()) << "another directory is free";
    // The holder answers the programs that asked: their connections do not pile up.
    for (int i = 0; i < 40; ++i) {
      DirectoryClaim again(loop, a.Root());
      EXPECT_FALSE(again.Held());
      EXPECT_EQ(again.Holder(), getpid());
      loop.RunOnce(0);
    }
  }
  EXPECT_TRUE(EmptyDir(a.Root())) << "the claim adds no file";
  EXPECT_TRUE(DirectoryClaim(loop, a.Root()).Held()) << "released with its holder";

  // A holder killed outright leaves no claim behind.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    EventLoop childLoop;
    DirectoryClaim held(childLoop, a.Root());
    char c = held.Held() ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  {
    DirectoryClaim refused(loop, a.Root());
    EXPECT_FALSE(refused.Held());
    EXPECT_EQ(refused.Holder(), child);
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_TRUE(DirectoryClaim(loop, a.Root()).Held());
}

TEST(DirectoryClaim, MissingDirectoryIsRefusedWithTheCause) {
  EventLoop loop;
  DirectoryClaim claim(loop, "/nonexistent/kov-dir");
  EXPECT_FALSE(claim.Held());
  EXPECT_EQ(claim.Holder(), 0);
  EXPECT_NE(claim.Refusal().find("No such file or directory"), std::string::npos)
      << claim.Refusal();
}

TEST(DirectoryClaim, SecondProgramInTheSameDirectoryExitsNamingTheFirstWhichKeepsBridging) {
  ActivePortDir one, two;
  ASSERT_TRUE(one.saved && two.saved);
  Program first(ProgramPath("kovbridge"), one.dir.Root());
  ASSERT_TRUE(first.WaitForLog("listening on port " + std::to_string(one.consolePort)))
      << first.Stderr();
  ASSERT_TRUE(first.WaitForLog("COM1: bridge open")) << first.Stderr();
  std::string saved = one.dir.Read("BridgeConfig.sys");
  struct stat before {};
  ASSERT_EQ(stat(one.dir.Path("BridgeConfig.sys").c_str(), &before), 0);

  // --help and --version claim nothing.
  TempDir logs;
  EXPECT_EQ(StartIn(one.dir.Root(), "--help", logs, "help")->Wait(), 0);
  EXPECT_NE(logs.Read("help.out").find("One program per working directory"), std::string::npos);
  EXPECT_EQ(StartIn(one.dir.Root(), "--version", logs, "version")->Wait(), 0);
  EXPECT_EQ(logs.Read("version.out").rfind("KOV Bridge ", 0), 0u);

  EXPECT_EQ(StartIn(one.dir.Root(), "", logs, "second")->Wait(), 1);
  std::string line = logs.Read("second.err");
  EXPECT_NE(line.find("process " + std::to_string(first.Pid())), std::string::npos) << line;
  EXPECT_NE(line.find(std::filesystem::canonical(one.dir.Root()).string()), std::string::npos)
      << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;

  // A program in another directory runs beside the first.
  Program beside(ProgramPath("kovbridge"), two.dir.Root());
  ASSERT_TRUE(beside.WaitForLog("COM1: bridge open")) << beside.Stderr();

  // Both bridge.
  for (ActivePortDir* d : {&one, &two}) {
    TcpClient client(d->com1Port);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.ReadExactly(kB01.size()), kB01);
    ASSERT_TRUE(client.Send("ping"));
    EXPECT_EQ(d->com1.ReadExactly(4), "ping");
  }
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(one.dir.Read("BridgeConfig.sys"), saved);
  struct stat after {};
  ASSERT_EQ(stat(one.dir.Path("BridgeConfig.sys").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

  for (Program* p : {&first, &beside}) {
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(), 0) << p->Stderr();
  }
}

}  // namespace
}  // namespace kov
