// Start-up and shutdown of the services: the configuration terminal, the eight local bridge
// channels and the remote server link.
#include "app/Application.h"
#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "terminal/Terminal.h"

namespace kov {
namespace {

constexpr int32_t kDefaultServicePort = 8800;

}  // namespace

void Application::StartServices() {
  TConfigFile& config = *ConfigFile;

  // The console listens on the stored service port. A text that is not a number is shown, and
  // the console listens on the default port instead, so it stays reachable to mend the setting.
  BridgeTerminal = std::make_unique<TBridgeTerminal>(loop_, config);
  RunStep([&] {
    int32_t port = 0;
    if (!StrToInt32(config.ServicePort, port)) {
      loop_.ReportError("'" + config.ServicePort + "' is not a valid integer value");
      LogWarning("configuration console falls back to port " + std::to_string(kDefaultServicePort));
      port = kDefaultServicePort;
    }
    BridgeTerminal->StartListening(port);
  });

  // Every active port opens; one that cannot is marked inactive in memory only (the file keeps
  // what it says until the next SaveConfig). A device that is not there yet (a USB adapter the
  // kernel has not found so early in the boot) is waited for instead, the port staying active.
  Bridges = std::make_unique<TBridges>(loop_, serial_, config);
  for (int32_t i = 0; i < 8; ++i) {
    PortSettings& settings = config.Ports[i];
    if (settings.Active != 1) continue;
    RunStep([&] {
      int32_t result =
          Bridges->Channel(i).Open(settings.SpeedIndex, settings.ParityIndex, settings.TcpPort,
                                   TBridgeChanel::DeviceAbsent::Wait);
      if (result < 0) {
        settings.Active = 0;
        LogError("COM" + std::to_string(i + 1) + " not started (result " +
                 std::to_string(result) + "), marked inactive");
      }
    });
  }

  // The remote link starts idle and writes its outcomes to the console.
  ClientChanel = std::make_unique<TBridgeClientChanel>(loop_, serial_, *Bridges,
                                                       [this](const std::string& text) {
                                                         if (BridgeTerminal)
                                                           BridgeTerminal->SendToConsole(text);
                                                       });
  BridgeTerminal->Attach(Bridges.get(), ClientChanel.get());
}

void Application::StopChannels() { Bridges.reset(); }

void Application::StopTerminal() { BridgeTerminal.reset(); }

}  // namespace kov
