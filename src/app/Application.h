#pragma once
// The application object: the main window's part of the program without its pixels. It holds
// the four long-lived objects (ConfigFile, BridgeTerminal, Bridges, ClientChanel), the two
// start-up timers and the window hooks, and runs the start-up and shutdown order:
//
//   Start():   FormCreate (tray-area test, AddIcon, TimerStartApp on), splash shown
//   +100 ms:   TimerStartAppTimer: ConfigFile created and loaded, StartServices, splash timer on
//   +3000 ms:  TimerWinUnvisibleTimer: splash hidden
//   Close():   ends the loop; Teardown() then runs FormDestroy (icon deleted, channels closed,
//              console told goodbye), releases the four objects without running any handler of
//              theirs, and turns the loop for at most kDeliveryMs while the closed connections
//              deliver what was queued for them (TOutputDrain).
//
// Shutdown stops the services in FormDestroy's order, but releases the objects in the reverse
// order of what refers to what: the terminal refers to the other three, the remote link to the
// channel set, the channel set to the store. So no object ever holds a reference to one already
// gone, whatever a handler run during the shutdown reads.
//
// Tests build a whole system in-process with a manual-clock loop and the in-memory serial layer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/EventLoop.h"

namespace kov {

class TConfigFile;
class TBridgeTerminal;
class TBridges;
class TBridgeClientChanel;
class SerialLibrary;

// What the desktop surface adds. Every hook may be left empty (the headless program).
struct WindowHooks {
  std::function<bool()> TrayAreaMissing;  // the tray-area test: true sets NoTrayIcon
  std::function<void()> AddIcon;
  std::function<void()> DeleteIcon;
  std::function<void()> ShowSplash;
  std::function<void()> HideSplash;
  std::function<void()> CloseRequested;  // the loop is about to end (main window closed)
};

class Application {
 public:
  static constexpr int64_t kStartAppMs = 100;  // TimerStartApp: start-up after the loop starts
  static constexpr int64_t kSplashMs = 3000;   // TimerWinUnvisible: the splash after start-up
  // How long the shutdown waits at most for closed connections to take their last bytes.
  static constexpr int64_t kDeliveryMs = 1000;

  // The serial layer and the loop outlive the application. configFileName is where ConfigFile
  // loads and saves ("BridgeConfig.sys" in the working directory by default).
  Application(EventLoop& loop, SerialLibrary& serial, WindowHooks hooks = {},
              std::string configFileName = "BridgeConfig.sys");
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Entry steps after the windows exist: FormCreate, then the splash is shown as the loop starts.
  void Start();
  // Closes the main window: asks the loop to end. Teardown() must follow once the loop stopped.
  void Close();
  // Runs FormDestroy and releases everything without running any handler of theirs, then lets
  // the closed connections deliver their last bytes (kDeliveryMs at most). Idempotent.
  void Teardown();

  // Start-up and shutdown handlers, public so tests and the desktop program can see their state.
  void FormCreate();
  void TimerStartAppTimer();
  void TimerWinUnvisibleTimer();
  void FormDestroy();

  // Services hooks (Services.cpp). StopChannels closes every channel (bridged clients get the
  // B02 notice); StopTerminal says goodbye to a greeted console and stops listening. Both leave
  // the objects to Release, and both may run again.
  void StartServices();
  void StopChannels();
  void StopTerminal();
  // Destroys the four objects, each before what it refers to. Idempotent.
  void Release();

  EventLoop& Loop() { return loop_; }
  SerialLibrary& Serial() { return serial_; }

  // The four long-lived objects; null until start-up has created them and after Release.
  // Declared so that each is destroyed before what it refers to, as Release does.
  std::unique_ptr<TConfigFile> ConfigFile;
  std::unique_ptr<TBridges> Bridges;
  std::unique_ptr<TBridgeClientChanel> ClientChanel;
  std::unique_ptr<TBridgeTerminal> BridgeTerminal;

  Timer TimerStartApp;
  Timer TimerWinUnvisible;
  uint8_t NoTrayIcon = 0;
  bool SplashVisible = false;
  bool StartedUp = false;  // TimerStartAppTimer has run
  // Runs once the services have started: the console listens and the active ports are open.
  std::function<void()> OnStartedUp;
  int FormDestroyRuns = 0;

  // Runs one start-up or shutdown step; an error it raises is shown in the error box and the
  // caller goes on with the next step, so every object later code relies on exists.
  bool RunStep(const std::function<void()>& step);

 private:
  EventLoop& loop_;
  SerialLibrary& serial_;
  WindowHooks hooks_;
  std::string configFileName_;
  bool tornDown_ = false;
  bool servicesStopped_ = false;  // FormDestroy ran all its steps
};

}  // namespace kov
