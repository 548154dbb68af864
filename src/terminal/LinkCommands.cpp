// The console commands on the remote server link.
// Placeholder until the link exists: there is nothing to connect.
#include "config/ResultCodes.h"
#include "terminal/CommandArgs.h"
#include "terminal/Messages.h"
#include "terminal/Terminal.h"

namespace kov {

void TBridgeTerminal::ConnectServer(const std::string& P1, const std::string&) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  ReportError(kErrNoHandler);
}

void TBridgeTerminal::DisconnectServer() { SendToConsole(kOkReply); }

}  // namespace kov
