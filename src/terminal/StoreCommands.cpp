// The console commands on the configuration store: password, files, ports and their settings,
// accepted addresses and the listings.
#include "terminal/StoreCommands.h"

#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "terminal/CommandArgs.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"

namespace kov::commands {

namespace {

// Stores value in one field of the settings of port P1; answers bad parameters instead when the
// value is not valid or P1 names no port.
void SetPortField(const CommandContext& c, const std::string& P1, bool valid, int32_t value,
                  int32_t PortSettings::*field) {
  int32_t index = 0;
  if (!valid || !SerialPortIndex(P1, index)) return c.Report(kErrBadParams);
  c.Config.Ports[static_cast<size_t>(index)].*field = value;
  c.Send(kOkReply);
}

}  // namespace

void ChangePassword(const CommandContext& c, const std::string& first, const std::string& second) {
  if (first.empty() || first != second) {
    c.Send(std::string("\n\r Passwords do not match.\n\r") + kPrompt);
    return;
  }
  c.Send(std::string("\n\r") + kOkReply);
  c.Config.Password = first;
  Log("Configuration console password changed from " + c.Peer);
}

void SaveConfig(const CommandContext& c, const std::string&, const std::string&) {
  if (c.Config.Save() < 0) return c.Report(kErrFile);
  c.Send(kOkReply);
}

void ConfigurationPort(const CommandContext& c, const std::string& P1, const std::string&) {
  int32_t port = 0;
  if (!StrToInt32(P1, port)) return c.Report(kErrBadParams);
  c.Config.ServicePort = P1;
  c.Send(kOkReply);
}

void CommPort(const CommandContext& c, const std::string& P1, const std::string& P2) {
  int32_t tcpPort = 0;
  const bool valid = StrToInt32(P2, tcpPort);
  SetPortField(c, P1, valid, tcpPort, &PortSettings::TcpPort);
}

void Baud(const CommandContext& c, const std::string& P1, const std::string& P2) {
  int32_t rate = 0;
  const int32_t speed = SpeedIndexOf(P2);
  SetPortField(c, P1, StrToInt32(P2, rate) && speed >= 0, speed, &PortSettings::SpeedIndex);
}

void Parity(const CommandContext& c, const std::string& P1, const std::string& P2) {
  const int32_t parity = ParityIndexOf(P2);
  SetPortField(c, P1, parity >= 0, parity, &PortSettings::ParityIndex);
}

// An empty address would refuse every later connection, this console's included.
void Accept(const CommandContext& c, const std::string& P1, const std::string& P2) {
  int32_t location = 0;
  if (!StrToInt32(P1, location) || location < 1 || location > 3 ||
      !ValidAddressIndex(location - 1) || P2.empty()) {
    return c.Report(kErrBadParams);
  }
  c.Config.AccAddress[static_cast<size_t>(location - 1)] =
      StartsWith(P2, "None") == 0 ? std::string("None") : P2;
  c.Send(kOkReply);
}

void ShowConfig(const CommandContext& c, const std::string&, const std::string&) {
  c.Send(ShowConfigText(c.Config));
}

}  // namespace kov::commands
