#pragma once
// The console's longer texts: the greeting and the listings of the commands that only print
// (each listing ends with the prompt), and the program version they show.
#include <cstdint>
#include <string>

namespace kov {

class TConfigFile;

// The program's version: major, minor, release and build (release is never shown).
void GetProgramVersion(uint16_t& major, uint16_t& minor, uint16_t& release, uint16_t& build);
// The greeting after IAC DONT ECHO: the version line and the password prompt.
std::string GreetingText();

// The 24-line command summary.
std::string HelpText();
// The configuration store: service port, accepted addresses, the eight ports' settings.
std::string ShowConfigText(const TConfigFile& config);
// Version, build and the credit line.
std::string AboutText(uint16_t major, uint16_t minor, uint16_t build);
// The same for this program's version.
std::string AboutText();

// One port's line of the connection and traffic listings: " Port n: Active" or "Idle".
std::string PortStateLine(int32_t portNumber, uint8_t connected);

}  // namespace kov
