// The console commands on the channel set and the remote link, and the listings that read them.
// Placeholder until the channel set exists: they answer that there is nothing to run them on.
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"
#include "terminal/Terminal.h"

namespace kov {

void TBridgeTerminal::LoadConfig() {
  const int32_t result = config_.Load();
  if (result < 0) return ReportError(result);
  ReportError(kErrNoHandler);
}
void TBridgeTerminal::Start(const std::string&) { ReportError(kErrNoHandler); }
void TBridgeTerminal::Stop(const std::string&) { ReportError(kErrNoHandler); }
void TBridgeTerminal::ConnectServer(const std::string&, const std::string&) {
  ReportError(kErrNoHandler);
}
void TBridgeTerminal::DisconnectServer() { SendToConsole(kOkReply); }
void TBridgeTerminal::ShowConnection() { ReportError(kErrNoHandler); }
void TBridgeTerminal::ShowTrafic() { ReportError(kErrNoHandler); }

}  // namespace kov
