#include "gui/StatusSource.h"

#include "config/ConfigFile.h"

namespace kov {

StatusInputs ReadStatusInputs(const Application& app) {
  StatusInputs in;
  if (app.ConfigFile) {
    for (int i = 0; i < kStatusPortCount; ++i) {
      in.Active[i] = app.ConfigFile->Ports[i].Active;
      in.TcpPort[i] = app.ConfigFile->Ports[i].TcpPort;
    }
  }
  return in;
}

}  // namespace kov
