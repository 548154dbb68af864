#include "app/StatusSource.h"

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "terminal/Terminal.h"

namespace kov {

StatusInputs ReadStatusInputs(const Application& app) {
  StatusInputs in;
  if (app.ConfigFile) {
    for (int i = 0; i < kStatusPortCount; ++i) {
      in.Active[i] = app.ConfigFile->Ports[i].Active;
      in.TcpPort[i] = app.ConfigFile->Ports[i].TcpPort;
    }
  }
  if (app.Bridges) {
    for (int i = 0; i < kStatusPortCount; ++i)
      in.ChannelConnected[i] = app.Bridges->Channel(i).Connected;
  }
  if (app.BridgeTerminal) in.SessionActive = app.BridgeTerminal->SessionActive;
  if (app.ClientChanel) {
    in.LinkConnected = app.ClientChanel->Connected;
    in.LinkPortIndex = app.ClientChanel->PortIndex;
  }
  return in;
}

}  // namespace kov
