// The messages to systemd: readiness, the status line, watchdog pings and stopping, received on
// the test's own notify socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "app/ServiceStatus.h"
#include "app/SystemdNotifier.h"
#include "tests/support/ActivePortDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Program.h"

namespace kov {
namespace {

// A datagram socket playing systemd's notify socket.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool Ok() const { return ok_; }
  const std::string& Path() const { return path_; }

  // The next message, or "" when none came in time.
  std::string Receive(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  // Messages until one holds want (included); empty when it never came.
  std::vector<std::string> ReceiveUntil(const std::string& want, int timeoutMs = 5000) {
    std::vector<std::string> got;
    for (std::string m = Receive(timeoutMs); !m.empty(); m = Receive(timeoutMs)) {
      got.push_back(m);
      if (m.find(want) != std::string::npos) return got;
    }
    return {};
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
};

// Sets an environment variable for the length of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

TEST(ServiceStatus, CountsListeningPortsBridgedClientsTheLinkAndTheConsole) {
  StatusIndicators indicators{};
  EXPECT_EQ(ServiceStatusLine(indicators, {8800, true}),
            "0 ports listening, 0 clients bridged, console on port 8800");
  indicators[LocalIndicator(0)].Colour = IndicatorColour::Listening;
  EXPECT_EQ(ServiceStatusLine(indicators, {8800, true}),
            "1 port listening, 0 clients bridged, console on port 8800");
  indicators[LocalIndicator(3)].Colour = IndicatorColour::Connected;
  indicators[LocalIndicator(7)].Colour = IndicatorColour::Connected;
  indicators[RemoteIndicator(5)].Colour = IndicatorColour::Connected;
  EXPECT_EQ(ServiceStatusLine(indicators, {9000, false}),
            "3 ports listening, 2 clients bridged, COM6 linked to the remote server, "
            "console not listening (port 9000)");
}

TEST(SystemdNotifier, SendsNothingAndKeepsNoTimerWithoutNotifySocket) {
  ScopedEnv noSocket("NOTIFY_SOCKET", nullptr);
  ScopedEnv watchdog("WATCHDOG_USEC", "1000000");
  EventLoop loop(EventLoop::Clock::Manual);
  int asked = 0;
  SystemdNotifier notifier(loop, [&] { return ++asked, std::string("status"); });
  EXPECT_FALSE(notifier.Enabled());
  notifier.Ready();
  notifier.Stopping();
  EXPECT_EQ(loop.NextTimeoutMs(), -1);
  EXPECT_EQ(asked, 0);
}

TEST(SystemdNotifier, PingsAtHalfTheWatchdogWithTheStatusWhenItChanged) {
  TempDir dir;
  NotifySocket systemd(dir.Path("notify"));
  ASSERT_TRUE(systemd.Ok());
  ScopedEnv socket("NOTIFY_SOCKET", systemd.Path().c_str());
  ScopedEnv watchdog("WATCHDOG_USEC", "30000000");
  ScopedEnv pid("WATCHDOG_PID", nullptr);
  LogCapture log;
  EventLoop loop(EventLoop::Clock::Manual);
  std::string status = "starting";
  SystemdNotifier notifier(loop, [&] { return status; });
  ASSERT_TRUE(notifier.Enabled());
  EXPECT_EQ(notifier.PingIntervalMs(), 15000);
  EXPECT_EQ(loop.NextTimeoutMs(), -1) << "no ping before readiness";

  status = "1 port listening";
  notifier.Ready();
  EXPECT_EQ(systemd.Receive(), "READY=1\nSTATUS=1 port listening");
  notifier.Ready();
  loop.AdvanceMs(14999);
  EXPECT_EQ(systemd.Receive(0), "") << "readiness is sent once, the ping comes at 15000 ms";
  loop.AdvanceMs(1);
  EXPECT_EQ(systemd.Receive(), "WATCHDOG=1");
  status = "1 client bridged";
  loop.AdvanceMs(15000);
  EXPECT_EQ(systemd.Receive(), "WATCHDOG=1\nSTATUS=1 client bridged");
  loop.AdvanceMs(15000);
  EXPECT_EQ(systemd.Receive(), "WATCHDOG=1");

  notifier.Stopping();
  EXPECT_EQ(systemd.Receive(), "STOPPING=1\nSTATUS=stopping");
  loop.AdvanceMs(60000);
  EXPECT_EQ(systemd.Receive(0), "") << "no ping after stopping";
}

TEST(SystemdNotifier, RealProgramIsReadyWhenListeningPingsAndSaysItStops) {
  ActivePortDir work;
  ASSERT_TRUE(work.saved);
  TempDir run;
  NotifySocket systemd(run.Path("notify"));
  ASSERT_TRUE(systemd.Ok());
  Program program(ProgramPath("kovbridge"), work.dir.Root(), {},
                  {"NOTIFY_SOCKET=" + systemd.Path(), "WATCHDOG_USEC=300000", "WATCHDOG_PID"});

  std::string ready = systemd.Receive(10000);
  EXPECT_EQ(ready, "READY=1\nSTATUS=1 port listening, 0 clients bridged, console on port " +
                       std::to_string(work.consolePort))
      << program.Stderr();
  // Ready means listening: both ports answer at once.
  TcpClient console(work.consolePort);
  EXPECT_TRUE(console.Connected());
  EXPECT_NE(console.ReadUntil("Password:").find("Password:"), std::string::npos);
  TcpClient client(work.com1Port);
  EXPECT_TRUE(client.Connected());

  std::vector<std::string> pings = systemd.ReceiveUntil("1 client bridged");
  ASSERT_FALSE(pings.empty()) << program.Stderr();
  for (const std::string& m : pings) EXPECT_EQ(m.rfind("WATCHDOG=1", 0), 0u) << m;
  EXPECT_NE(pings.back().find("STATUS=1 port listening, 1 client bridged"), std::string::npos);
  EXPECT_NE(program.Stderr().find("a ping every 150 ms"), std::string::npos) << program.Stderr();

  program.Signal(SIGTERM);
  std::vector<std::string> last = systemd.ReceiveUntil("STOPPING=1");
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back(), "STOPPING=1\nSTATUS=stopping");
  EXPECT_EQ(program.Wait(), 0) << program.Stderr();
  EXPECT_EQ(systemd.Receive(200), "") << "nothing after stopping";
}

}  // namespace
}  // namespace kov
