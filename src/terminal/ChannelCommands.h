#pragma once
// The console commands on the channel set, and the listings that read the channels.
#include <string>

#include "terminal/CommandTable.h"

namespace kov::commands {

// Loads the file, then stops or starts the channels whose stored flag now disagrees.
void LoadConfig(const CommandContext& c, const std::string&, const std::string&);
void Start(const CommandContext& c, const std::string& P1, const std::string&);
void Stop(const CommandContext& c, const std::string& P1, const std::string&);
void ShowConnection(const CommandContext& c, const std::string&, const std::string&);
void ShowTrafic(const CommandContext& c, const std::string&, const std::string&);

}  // namespace kov::commands
