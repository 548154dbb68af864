#pragma once
// The console commands on the remote server link.
#include <string>

#include "terminal/CommandTable.h"

namespace kov::commands {

// Stops the local channels and connects port P1 to the remote server, on host P2 when given.
void ConnectServer(const CommandContext& c, const std::string& P1, const std::string& P2);
void DisconnectServer(const CommandContext& c, const std::string&, const std::string&);

}  // namespace kov::commands
