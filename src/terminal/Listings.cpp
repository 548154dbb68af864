#include "terminal/Listings.h"

#include <array>

#include "Version.h"
#include "config/ConfigFile.h"
#include "config/StringHandle.h"
#include "terminal/Messages.h"

namespace kov {

namespace {

constexpr const char* kEol = "\n\r";

// Each command line puts its dash in column 32; continuation lines start under the descriptions.
constexpr std::array<const char*, 24> kHelpLines = {
    " Help                          - This page",
    " Password                      - Change password",
    " Accept <Loc> <TCP/IP Address> - Accept TCP/IP Address",
    "                                 Loc: 1-3,TCP/IP Address: Def: None, xx.xx.xx.xx",
    " LoadConfig                    - Load data from config file",
    " SaveConfig                    - Save data to config file",
    " ConfigurationPort <TcpIpPort> - Set TCP/IP PORT number for Config. Channel",
    "                                 TcpIpPort: Def: 8800",
    " CommPort <SerPort><TcpIpPort> - Set TCP/IP PORT number for Bridge Channel",
    "                                 Port: 1-8, TcpIpPort: Def: 8801-8808",
    " Baud <SerPort> <Speed>        - Set Speed for Comm Port",
    "                                 Speed: Def: 115200",
    " Parity <SerPort> <Parity>     - Set Parity for Comm Port",
    "                                 Parity: O - Odd, Def: E - Even, N - None",
    " Start <SerPort>               - Start Comm Bridge",
    " Stop  <SerPort>               - Stop Comm Bridge",
    " ConnectServer <SerPort>       - Connect to remote Bridge Server",
    "                                 Port: 1-8 ",
    " DisconnectServer              - Disconnect from remote Bridge Server",
    " ShowConfig                    - Show Configuration Data",
    " ShowTrafic                    - Show Bridge Trafic",
    " ShowConnection                - Show Connected TcpIp Ports",
    " About                         - About KOV Bridge Application",
    " Exit                          - Exit from program",
};

// The first line of the greeting and of About, without its end.
std::string VersionLine(uint16_t major, uint16_t minor) {
  return "  KOV Bridge Version: Ver.: " + std::to_string(major) + "." + std::to_string(minor);
}

// An accepted address as listed: anything beginning with "None" reads "None".
std::string AddressText(const std::string& entry) {
  return StartsWith(entry, "None") == 0 ? "None" : entry;
}

}  // namespace

void GetProgramVersion(uint16_t& major, uint16_t& minor, uint16_t& release, uint16_t& build) {
  major = kVersionMajor;
  minor = kVersionMinor;
  release = kVersionRelease;
  build = kVersionBuild;
}

std::string GreetingText() {
  uint16_t major, minor, release, build;
  GetProgramVersion(major, minor, release, build);
  return VersionLine(major, minor) + kEol + kEol + "Password:";
}

std::string HelpText() {
  std::string text;
  for (const char* line : kHelpLines) {
    text += line;
    text += kEol;
  }
  return text + kEol + kPrompt;
}

std::string ShowConfigText(const TConfigFile& config) {
  std::string text = " ConfigurationPort: " + config.ServicePort + kEol;
  text += " Accepted TCP/IP Address: ";
  for (size_t i = 0; i < config.AccAddress.size(); ++i) {
    if (i > 0) text += ", ";
    text += AddressText(config.AccAddress[i]);
  }
  text += kEol;
  for (size_t i = 0; i < config.Ports.size(); ++i) {
    const PortSettings& port = config.Ports[i];
    text += " Port " + std::to_string(i + 1) + ": " + ActiveText(port.Active);
    text += ", TcpIpPort: " + std::to_string(port.TcpPort);
    text += ", Baud: " + SpeedText(port.SpeedIndex);
    text += ", Parity: " + ParityText(port.ParityIndex) + kEol;
  }
  return text + kEol + kPrompt;
}

std::string AboutText(uint16_t major, uint16_t minor, uint16_t build) {
  std::string text = VersionLine(major, minor) + kEol;
  text += "      Build: " + std::to_string(build) + " " + kEol;
  text += "      KOV Bridge serial to TCP/IP bridge for Linux";
  text += kEol;
  return text + kEol + kPrompt;
}

std::string AboutText() {
  uint16_t major, minor, release, build;
  GetProgramVersion(major, minor, release, build);
  return AboutText(major, minor, build);
}

std::string PortStateLine(int32_t portNumber, uint8_t connected) {
  return " Port " + std::to_string(portNumber) + ": " + ActiveText(connected) + kEol;
}

}  // namespace kov
