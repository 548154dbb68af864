// kovbridge: the headless program. Runs in the foreground in the working directory that holds
// BridgeConfig.sys and the optional BridgePorts.conf, logs to stderr, and ends on SIGTERM,
// SIGINT or SIGHUP with the orderly shutdown.
#include "Version.h"
#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/DirectoryClaim.h"
#include "app/PortPathsFile.h"
#include "app/ServiceStatus.h"
#include "app/SignalHandling.h"
#include "app/SystemdNotifier.h"
#include "bridge/TermiosSerial.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "event/LogRateLimit.h"

namespace {

const char* const kUsage =
    "Bridges the serial ports COM1..COM8 to TCP. Runs in the foreground with the current\n"
    "directory as its working directory, which holds BridgeConfig.sys (the settings; the\n"
    "defaults apply when it is missing). The device of each port is named in BridgePorts.conf\n"
    "(lines COMn=/dev/path [option=value ...]), read from the working directory, else from\n"
    "/etc/kovbridge, and read again when a port is started from the console; without a line\n"
    "COMn is /dev/ttyS<n-1>. Options of a line: databits=5|6|7|8 stopbits=1|2\n"
    "flow=none|rtscts|xonxoff dtr=on|off rts=on|off lowlatency=on|off idle=<seconds>\n"
    "keepalive=<seconds> notices=on|off protocol=raw|rfc2217 (see BridgePorts.conf(5)).\n"
    "An active port whose device is not there at start-up waits for it.\n"
    "One program per working directory: a second one started there names the first one's\n"
    "process id and exits with status 1.\n"
    "Configure it with a Telnet client on the configuration port (8800 by default, password\n"
    "PZQ until changed). Logs go to stderr. Started by systemd as a notify service, it\n"
    "reports readiness, a status line and watchdog pings. SIGTERM, SIGINT or SIGHUP ends it\n"
    "in order; SIGUSR1, SIGUSR2 and SIGALRM are logged and ignored. See kovbridge(8).\n";

}  // namespace

int main(int argc, char** argv) {
  int status = kov::HandleCommandLine(argc, argv, "kovbridge", kUsage);
  if (status >= 0) return status;

  kov::PrepareSignals();
  kov::EventLoop loop;
  kov::LogRateLimit logLimit(loop);
  // Before any port or socket is opened: one program per working directory.
  kov::DirectoryClaim claim(loop, ".");
  if (!claim.Held()) {
    kov::LogError(claim.Refusal());
    return 1;
  }
  kov::Log(std::string("KOV Bridge ") + kov::kVersionText + " starting in " + claim.Directory());
  kov::TermiosSerial serial(loop, kov::LoadPortTable());
  kov::Application app(loop, serial);
  kov::SystemdNotifier notifier(loop, [&app] { return kov::ReadServiceStatusLine(app); });
  app.OnStartedUp = [&notifier] { notifier.Ready(); };
  kov::WatchSignals(loop, [&] { app.Close(); });

  app.Start();
  loop.Run();
  notifier.Stopping();
  app.Teardown();
  return 0;
}
