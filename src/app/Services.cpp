// Start-up and shutdown of the services: the configuration terminal, the eight local bridge
// channels and the remote server link.
#include "app/Application.h"
#include "config/ConfigFile.h"
#include "event/Log.h"

namespace kov {

void Application::StartServices() {
  // The terminal, the channel set and the remote link are created here once they exist.
}

void Application::StopChannels() {}

void Application::StopTerminal() {}

}  // namespace kov
