// The console commands on the configuration store, and the dispatch of every command.
#include <exception>

#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "terminal/CommandArgs.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"
#include "terminal/Parser.h"
#include "terminal/Terminal.h"

namespace kov {

void TBridgeTerminal::ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2,
                                     const std::string& /*P3*/, const std::string& /*P4*/) {
  // Whatever a command raises, the console gets a reply and stays in command mode.
  try {
    RunCommand(number, P1, P2);
  } catch (const std::exception& e) {
    Log(std::string("Configuration console command failed: ") + e.what());
    SendToConsole(std::string(" ERROR: ") + e.what() + "\n\r" + kPrompt);
  } catch (...) {
    SendToConsole(std::string(" ERROR: ") + ErrorMessage(0) + "\n\r" + kPrompt);
  }
}

void TBridgeTerminal::RunCommand(int32_t number, const std::string& P1, const std::string& P2) {
  switch (number) {
    case kCmdHelp:
      return SendToConsole(HelpText());
    case kCmdPassword:
      return ChangePassword(P1, P2);
    case kCmdLoadConfig:
      return LoadConfig();
    case kCmdSaveConfig:
      return SaveConfig();
    case kCmdConfigurationPort:
      return ConfigurationPort(P1);
    case kCmdCommPort:
      return CommPort(P1, P2);
    case kCmdShowConfig:
      return SendToConsole(ShowConfigText(config_));
    case kCmdAbout: {
      uint16_t major, minor, release, build;
      GetProgramVersion(major, minor, release, build);
      return SendToConsole(AboutText(major, minor, build));
    }
    case kCmdBaud:
      return Baud(P1, P2);
    case kCmdParity:
      return Parity(P1, P2);
    case kCmdStart:
      return Start(P1);
    case kCmdStop:
      return Stop(P1);
    case kCmdExit:
      return Exit();
    case kCmdShowConnection:
      return ShowConnection();
    case kCmdShowTrafic:
      return ShowTrafic();
    case kCmdAccept:
      return Accept(P1, P2);
    case kCmdConnectServer:
      return ConnectServer(P1, P2);
    case kCmdDisconnectServer:
      return DisconnectServer();
    default:
      return ReportError(kErrNoHandler);
  }
}

// The two words must be the same, and not empty.
void TBridgeTerminal::ChangePassword(const std::string& first, const std::string& second) {
  if (first.empty() || first != second) {
    SendToConsole(std::string("\n\r Passwords do not match.\n\r") + kPrompt);
    return;
  }
  SendToConsole(std::string("\n\r") + kOkReply);
  config_.Password = first;
  Log("Configuration console password changed from " + RemoteAddress);
}

void TBridgeTerminal::SaveConfig() {
  if (config_.Save() < 0) return ReportError(kErrFile);
  SendToConsole(kOkReply);
}

void TBridgeTerminal::ConfigurationPort(const std::string& P1) {
  int32_t port = 0;
  if (!StrToInt32(P1, port)) return ReportError(kErrBadParams);
  config_.ServicePort = P1;
  SendToConsole(kOkReply);
}

void TBridgeTerminal::CommPort(const std::string& P1, const std::string& P2) {
  int32_t index = 0;
  int32_t tcpPort = 0;
  if (!StrToInt32(P2, tcpPort) || !SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  config_.Ports[static_cast<size_t>(index)].TcpPort = tcpPort;
  SendToConsole(kOkReply);
}

void TBridgeTerminal::Baud(const std::string& P1, const std::string& P2) {
  int32_t index = 0;
  int32_t rate = 0;
  if (!StrToInt32(P2, rate) || !SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  const int32_t speed = SpeedIndexOf(P2);
  if (speed < 0) return ReportError(kErrBadParams);
  config_.Ports[static_cast<size_t>(index)].SpeedIndex = speed;
  SendToConsole(kOkReply);
}

void TBridgeTerminal::Parity(const std::string& P1, const std::string& P2) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  const int32_t parity = ParityIndexOf(P2);
  if (parity < 0) return ReportError(kErrBadParams);
  config_.Ports[static_cast<size_t>(index)].ParityIndex = parity;
  SendToConsole(kOkReply);
}

void TBridgeTerminal::Exit() {
  SendToConsole("\n\r  Good Bye...\n\r");
  Log("Configuration console exit from " + RemoteAddress);
  EndSession();
  ListenerRestart(kRestartMs);
}

// An empty address would refuse every later connection, this console's included.
void TBridgeTerminal::Accept(const std::string& P1, const std::string& P2) {
  int32_t location = 0;
  if (!StrToInt32(P1, location) || location < 1 || location > 3 ||
      !ValidAddressIndex(location - 1) || P2.empty()) {
    return ReportError(kErrBadParams);
  }
  config_.AccAddress[static_cast<size_t>(location - 1)] =
      StartsWith(P2, "None") == 0 ? std::string("None") : P2;
  SendToConsole(kOkReply);
}

}  // namespace kov
