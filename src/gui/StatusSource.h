#pragma once
// Where the status window reads the running state from. The one place that knows which objects
// of the application hold each input.
#include "app/Application.h"
#include "app/Status.h"

namespace kov {

// The configured ports (Active, TcpPort) from ConfigFile once start-up has created it; the
// channels, the console session and the remote link are read here as they become available.
StatusInputs ReadStatusInputs(const Application& app);

}  // namespace kov
