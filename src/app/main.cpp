// kovbridge: the headless program. Runs in the foreground in the working directory that holds
// BridgeConfig.sys and the optional BridgePorts.conf, logs to stderr, and ends on SIGTERM,
// SIGINT or SIGHUP with the orderly shutdown.
#include "Version.h"
#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/SignalHandling.h"
#include "bridge/PortPaths.h"
#include "bridge/TermiosSerial.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "event/LogRateLimit.h"

namespace {

const char* const kUsage =
    "Bridges the serial ports COM1..COM8 to TCP. Run it in a working directory that holds\n"
    "BridgeConfig.sys (settings; the defaults apply when it is missing) and, optionally,\n"
    "BridgePorts.conf (lines COMn=/dev/path; COMn defaults to /dev/ttyS<n-1>).\n"
    "Configure it with a Telnet client on the configuration port (8800 by default).\n"
    "SIGTERM, SIGINT or SIGHUP ends it in order; SIGUSR1, SIGUSR2 and SIGALRM are logged and\n"
    "ignored.\n";

}  // namespace

int main(int argc, char** argv) {
  int status = kov::HandleCommandLine(argc, argv, "kovbridge", kUsage);
  if (status >= 0) return status;

  kov::PrepareSignals();
  kov::EventLoop loop;
  kov::LogRateLimit logLimit(loop);
  kov::Log(std::string("KOV Bridge ") + kov::kVersionText + " starting");
  kov::TermiosSerial serial(loop, kov::LoadPortPaths("BridgePorts.conf"));
  kov::Application app(loop, serial);
  kov::WatchSignals(loop, [&] { app.Close(); });

  app.Start();
  loop.Run();
  app.Teardown();
  return 0;
}
