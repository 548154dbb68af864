#include "terminal/LinkCommands.h"

#include <exception>

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ResultCodes.h"
#include "event/Log.h"
#include "terminal/CommandArgs.h"
#include "terminal/Messages.h"

namespace kov::commands {

namespace {

// The remote bridge server's host when ConnectServer names none.
constexpr const char* kDefaultServerHost = "localhost";

}  // namespace

// The link writes the outcome to the console when the connection completes or fails; only an
// error raised at once is answered here.
void ConnectServer(const CommandContext& c, const std::string& P1, const std::string& P2) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return c.Report(kErrBadParams);
  if (c.Bridges == nullptr || c.Link == nullptr) return c.Report(kErrNoHandler);
  const std::string host = P2.empty() ? std::string(kDefaultServerHost) : P2;
  c.Bridges->StopAll();
  try {
    if (c.Link->Connected == 1) c.Link->Disconnect();
    c.Link->Connect(index, host);
  } catch (const std::exception& e) {
    Log("Configuration console: COM" + std::to_string(index + 1) + " to " + host + ": " + e.what());
    c.Send(std::string(" ERROR: ") + e.what() + "\n\r" + kPrompt);
    return;
  }
  Log("Configuration console: connecting COM" + std::to_string(index + 1) + " to " + host);
}

void DisconnectServer(const CommandContext& c, const std::string&, const std::string&) {
  if (c.Link != nullptr && c.Link->Connected == 1) {
    c.Link->Disconnect();
    if (c.Bridges != nullptr) c.Bridges->StartAll();
  }
  c.Send(kOkReply);
}

}  // namespace kov::commands
