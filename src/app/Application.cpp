// The application object: start-up steps, the splash, and the shutdown that stops the services
// in FormDestroy's order, releases them and lets closed connections take their last bytes.
#include "app/Application.h"

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "event/Log.h"
#include "net/OutputDrain.h"
#include "terminal/Terminal.h"

namespace kov {

Application::Application(EventLoop& loop, SerialLibrary& serial, WindowHooks hooks,
                         std::string configFileName)
    : TimerStartApp(loop, kStartAppMs),
      TimerWinUnvisible(loop, kSplashMs),
      loop_(loop),
      serial_(serial),
      hooks_(std::move(hooks)),
      configFileName_(std::move(configFileName)) {
  TimerStartApp.SetOnTimer([this] { TimerStartAppTimer(); });
  TimerWinUnvisible.SetOnTimer([this] { TimerWinUnvisibleTimer(); });
}

Application::~Application() { Teardown(); }

bool Application::RunStep(const std::function<void()>& step) { return loop_.Guarded(step); }

void Application::Start() {
  FormCreate();
  // The loop shows the main window, which is the splash, before its first event.
  SplashVisible = true;
  if (hooks_.ShowSplash) hooks_.ShowSplash();
}

void Application::FormCreate() {
  NoTrayIcon = hooks_.TrayAreaMissing && hooks_.TrayAreaMissing() ? 1 : 0;
  if (!NoTrayIcon && hooks_.AddIcon) hooks_.AddIcon();
  TimerStartApp.SetEnabled(true);
  SplashVisible = false;
}

void Application::TimerStartAppTimer() {
  TimerStartApp.SetEnabled(false);
  RunStep([this] {
    ConfigFile = std::make_unique<TConfigFile>(configFileName_);
    int32_t result = ConfigFile->Load();
    if (result == 0) {
      Log("configuration loaded from " + configFileName_);
    } else if (result == kErrFile) {
      LogWarning("configuration not loaded: " + configFileName_ +
                 " cannot be read, running with the defaults");
    } else {
      LogError("configuration not loaded: " + configFileName_ +
               " holds a value that does not convert or a line that is too long (result " +
               std::to_string(result) + "), running with what was read before it");
    }
  });
  if (!ConfigFile) ConfigFile = std::make_unique<TConfigFile>(configFileName_);
  StartServices();
  StartedUp = true;
  TimerWinUnvisible.SetEnabled(true);
  if (OnStartedUp) RunStep(OnStartedUp);
}

void Application::TimerWinUnvisibleTimer() {
  TimerWinUnvisible.SetEnabled(false);
  SplashVisible = false;
  if (hooks_.HideSplash) hooks_.HideSplash();
}

void Application::Close() {
  if (hooks_.CloseRequested) hooks_.CloseRequested();
  loop_.Quit();
}

void Application::FormDestroy() {
  ++FormDestroyRuns;
  // An error in one step is shown and the later steps are skipped; Teardown does the rest. The
  // store is not saved: what the console changed since its last SaveConfig is lost.
  servicesStopped_ = RunStep([this] {
    if (!NoTrayIcon && hooks_.DeleteIcon) hooks_.DeleteIcon();
    StopChannels();
    StopTerminal();
  });
}

void Application::Teardown() {
  if (tornDown_) return;
  tornDown_ = true;
  TimerStartApp.SetEnabled(false);
  TimerWinUnvisible.SetEnabled(false);
  // From here on a connection that closes first delivers what was queued for it: a bridged
  // client the bytes already taken from its serial port and then the B02 notice, the console its
  // goodbye. The loop turns for that once everything is released, within kDeliveryMs in all.
  TOutputDrain drain(loop_, kDeliveryMs);
  FormDestroy();
  // What FormDestroy skipped after an error is done now, in the same order.
  if (!servicesStopped_) {
    RunStep([this] { StopChannels(); });
    RunStep([this] { StopTerminal(); });
  }
  // The remote link is never stopped while the program runs; its socket and timer go here,
  // without running any handler.
  Release();
  loop_.RunUntil([&drain] { return drain.Idle(); }, static_cast<int>(kDeliveryMs));
  Log("stopped");
}

}  // namespace kov
