// kovbridge-gui: the desktop program. The same core as the headless program, with the splash,
// the tray icon and its menu, the status window, the exit confirmation and the error box. Runs
// in the working directory that holds BridgeConfig.sys and the optional BridgePorts.conf.
#include <QApplication>
#include <cstdio>
#include <memory>

#include "Version.h"
#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/DirectoryClaim.h"
#include "app/PortPathsFile.h"
#include "app/SignalHandling.h"
#include "app/StatusSource.h"
#include "bridge/TermiosSerial.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "event/LogRateLimit.h"
#include "gui/Artwork.h"
#include "gui/BridgeFrm.h"
#include "gui/Dialogs.h"
#include "gui/DisplayCheck.h"
#include "gui/FormStatus.h"
#include "gui/QtLoopDriver.h"

namespace {

const char* const kUsage =
    "Bridges the serial ports COM1..COM8 to TCP, with a tray icon and a status window.\n"
    "Run it in a working directory that holds BridgeConfig.sys (settings; the defaults apply\n"
    "when it is missing) and, optionally, BridgePorts.conf (lines COMn=/dev/path\n"
    "[option=value ...]; COMn defaults to /dev/ttyS<n-1>; options databits=5|6|7|8\n"
    "stopbits=1|2 flow=none|rtscts|xonxoff dtr=on|off rts=on|off lowlatency=on|off\n"
    "idle=<seconds> keepalive=<seconds> notices=on|off, see BridgePorts.conf(5)). Configure it\n"
    "with a Telnet client on the configuration port (8800 by default). The tray menu's Close,\n"
    "SIGTERM, SIGINT or SIGHUP end it in order; SIGUSR1, SIGUSR2 and SIGALRM are logged and\n"
    "ignored. BridgePorts.conf is read from the working directory, else from /etc/kovbridge,\n"
    "and again when a port is started from the console. One program per working\n"
    "directory: a second one says which program holds it and exits with status 1. Without\n"
    "a display it exits with status 1; the headless kovbridge serves the same bridges\n"
    "without one.\n";

}  // namespace

int main(int argc, char** argv) {
  int status = kov::HandleCommandLine(argc, argv, "kovbridge-gui", kUsage);
  if (status >= 0) return status;
  if (std::string missing = kov::MissingDisplay(); !missing.empty()) {
    std::fprintf(stderr, "kovbridge-gui: %s\n", missing.c_str());
    return 1;
  }

  // Before Qt starts threads of its own, so that no thread receives a signal the default way.
  kov::PrepareSignals();

  // Qt's arguments (-platform, -display, ...) are its own; ours were checked above.
  int qtArgc = 1;
  QApplication qapp(qtArgc, argv);
  QApplication::setApplicationName("KOV Bridge");
  QApplication::setApplicationVersion(kov::kVersionText);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setWindowIcon(kov::MakeAppIcon());

  kov::EventLoop loop;
  kov::LogRateLimit logLimit(loop);
  // Before any port or socket is opened: one program per working directory.
  kov::DirectoryClaim claim(loop, ".");
  if (!claim.Held()) {
    kov::LogError(claim.Refusal());
    // The closing signals end the program the default way while the box waits.
    kov::ReleaseClosingSignals();
    kov::MakeErrorBox(claim.Refusal())->exec();
    return 1;
  }
  kov::Log(std::string("KOV Bridge ") + kov::kVersionText + " starting in " + claim.Directory());
  kov::QtLoopDriver driver(loop);
  kov::TErrorBoxes errorBoxes([&driver] { return !driver.Busy(); });
  loop.SetErrorHandler([&](const std::string& message) {
    kov::LogError("error: " + kov::ErrorBoxText(message));
    errorBoxes.Report(message);
  });
  kov::TermiosSerial serial(loop, kov::LoadPortTable());

  // The windows: the main window first, then the hidden status window.
  auto formStatus = std::make_unique<kov::TFormStatus>();
  auto bridgeFrm = std::make_unique<kov::TBridgeFrm>(*formStatus);

  kov::WindowHooks hooks = bridgeFrm->Hooks();
  hooks.CloseRequested = [&] {
    bridgeFrm->Closing = true;
    errorBoxes.DropPending();
    QCoreApplication::exit(0);
  };
  kov::Application app(loop, serial, hooks);
  formStatus->SetStatusProvider([&app] { return kov::ReadStatusInputs(app); });
  bridgeFrm->OnCloseConfirmed = [&] { driver.Call([&] { app.Close(); }); };

  kov::WatchSignals(loop, [&] { app.Close(); });

  driver.Call([&] { app.Start(); });
  QApplication::exec();

  // Teardown: the status window first, then the main window, whose destruction runs
  // FormDestroy (the tray icon goes first) and releases the services.
  formStatus.reset();
  bridgeFrm->hide();
  app.Teardown();
  bridgeFrm.reset();
  return 0;
}
