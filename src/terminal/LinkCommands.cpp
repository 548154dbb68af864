// The console commands on the remote server link.
#include <exception>

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ResultCodes.h"
#include "event/Log.h"
#include "terminal/CommandArgs.h"
#include "terminal/Messages.h"
#include "terminal/Terminal.h"

namespace kov {

namespace {

// The remote bridge server's host when ConnectServer names none.
constexpr const char* kDefaultServerHost = "localhost";

}  // namespace

// Stops the local channels and connects the port to the remote server. P2, when given, is the
// host to connect to instead of the default one. The link writes the outcome to the console
// when the connection completes or fails; only an error raised at once is answered here.
void TBridgeTerminal::ConnectServer(const std::string& P1, const std::string& P2) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  if (Bridges == nullptr || ClientChanel == nullptr) return ReportError(kErrNoHandler);
  const std::string host = P2.empty() ? std::string(kDefaultServerHost) : P2;
  Bridges->StopAll();
  try {
    if (ClientChanel->Connected == 1) ClientChanel->Disconnect();
    ClientChanel->Connect(index, host);
  } catch (const std::exception& e) {
    Log("Configuration console: COM" + std::to_string(index + 1) + " to " + host + ": " + e.what());
    SendToConsole(std::string(" ERROR: ") + e.what() + "\n\r" + kPrompt);
    return;
  }
  Log("Configuration console: connecting COM" + std::to_string(index + 1) + " to " + host);
}

void TBridgeTerminal::DisconnectServer() {
  if (ClientChanel != nullptr && ClientChanel->Connected == 1) {
    ClientChanel->Disconnect();
    if (Bridges != nullptr) Bridges->StartAll();
  }
  SendToConsole(kOkReply);
}

}  // namespace kov
