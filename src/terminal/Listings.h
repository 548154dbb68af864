#pragma once
// The texts of the console commands that only print. Each ends with the prompt.
#include <cstdint>
#include <string>

namespace kov {

class TConfigFile;

// The 24-line command summary.
std::string HelpText();
// The configuration store: service port, accepted addresses, the eight ports' settings.
std::string ShowConfigText(const TConfigFile& config);
// Version, build and the credit line.
std::string AboutText(uint16_t major, uint16_t minor, uint16_t build);

// One port's line of the connection and traffic listings: " Port n: Active" or "Idle".
std::string PortStateLine(int32_t portNumber, uint8_t connected);

}  // namespace kov
