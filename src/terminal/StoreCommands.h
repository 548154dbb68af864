#pragma once
// The console commands on the configuration store: the password, the file, the service port,
// the ports' settings and the accepted addresses.
#include <string>

#include "terminal/CommandTable.h"

namespace kov::commands {

// The two words must be the same, and not empty.
void ChangePassword(const CommandContext& c, const std::string& first, const std::string& second);
void SaveConfig(const CommandContext& c, const std::string&, const std::string&);
void ConfigurationPort(const CommandContext& c, const std::string& P1, const std::string&);
void CommPort(const CommandContext& c, const std::string& P1, const std::string& P2);
void Baud(const CommandContext& c, const std::string& P1, const std::string& P2);
void Parity(const CommandContext& c, const std::string& P1, const std::string& P2);
void Accept(const CommandContext& c, const std::string& P1, const std::string& P2);
void ShowConfig(const CommandContext& c, const std::string&, const std::string&);

}  // namespace kov::commands
