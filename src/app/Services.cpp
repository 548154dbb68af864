// Start-up and shutdown of the services: the configuration terminal, the eight local bridge
// channels and the remote server link; stopping them, and releasing them with the store.
#include "app/Application.h"
#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "event/Log.h"
#include "terminal/Terminal.h"

namespace kov {

void Application::StartServices() {
  TConfigFile& config = *ConfigFile;

  // The console listens on the stored service port; what it does with a bad one is its own rule.
  BridgeTerminal = std::make_unique<TBridgeTerminal>(loop_, config);
  RunStep([&] { BridgeTerminal->StartListening(config.ServicePort); });

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

void Application::StopChannels() {
  if (!Bridges) return;
  for (int32_t i = 0; i < TBridges::kChannelCount; ++i) Bridges->Channel(i).Close();
}

void Application::StopTerminal() {
  if (BridgeTerminal) BridgeTerminal->Stop();
}

void Application::Release() {
  BridgeTerminal.reset();
  ClientChanel.reset();
  Bridges.reset();
  ConfigFile.reset();
}

}  // namespace kov
