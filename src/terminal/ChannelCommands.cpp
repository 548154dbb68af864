// The console commands on the channel set, and the listings that read the channels.
#include "bridge/BridgeChanel.h"
#include "bridge/Bridges.h"
#include "bridge/SerialLibrary.h"
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "event/Log.h"
#include "terminal/CommandArgs.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"
#include "terminal/Terminal.h"

namespace kov {

namespace {

constexpr int32_t kChannelCount = TBridges::kChannelCount;

// A state line for each port; a bridged port is followed by the lines details gives for it.
// Without a channel set every port shows as not connected.
template <typename Details>
std::string PortLines(TBridges* bridges, Details details) {
  std::string text;
  for (int32_t i = 0; i < kChannelCount; ++i) {
    if (bridges == nullptr) {
      text += PortStateLine(i + 1, 0);
      continue;
    }
    const ChannelState state = bridges->Channel(i).State();
    text += PortStateLine(i + 1, state.Connected);
    if (state.Connected == 1) text += details(state);
  }
  return text;
}

}  // namespace

void TBridgeTerminal::LoadConfig() {
  const int32_t result = config_.Load();
  if (result < 0) return ReportError(result);
  if (Bridges == nullptr) return ReportError(kErrNoHandler);
  // Channels whose stored flag now disagrees with their state are stopped or started; a channel
  // that keeps running keeps its old settings.
  for (int32_t i = 0; i < kChannelCount; ++i) {
    TBridgeChanel& channel = Bridges->Channel(i);
    PortSettings& port = config_.Ports[static_cast<size_t>(i)];
    const std::string prefix = "Port " + std::to_string(i + 1) + ": ";
    if (channel.Opened == 1 && port.Active == 0) {
      const int32_t closed = channel.Close();
      if (closed < 0) {
        SendToConsole(prefix);
        return ReportError(closed);
      }
    } else if (channel.Opened == 0 && port.Active == 1) {
      if (channel.Open(port.SpeedIndex, port.ParityIndex, port.TcpPort) < 0) {
        SendToConsole(prefix);
        ReportError(kSioCannotOpen);
        port.Active = 0;
        return;
      }
    }
  }
  SendToConsole(kOkReply);
}

void TBridgeTerminal::Start(const std::string& P1) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  PortSettings& port = config_.Ports[static_cast<size_t>(index)];
  if (port.Active == 1) return ReportError(kErrPortOpened);
  if (Bridges == nullptr) return ReportError(kErrNoHandler);
  if (Bridges->Channel(index).Open(port.SpeedIndex, port.ParityIndex, port.TcpPort) < 0) {
    return ReportError(kSioCannotOpen);
  }
  port.Active = 1;
  SendToConsole(kOkReply);
}

void TBridgeTerminal::Stop(const std::string& P1) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return ReportError(kErrBadParams);
  config_.Ports[static_cast<size_t>(index)].Active = 0;
  if (Bridges == nullptr) return ReportError(kErrNoHandler);
  const int32_t result = Bridges->Channel(index).Close();
  if (result < 0) return ReportError(result);
  SendToConsole(kOkReply);
}

void TBridgeTerminal::ShowConnection() {
  std::string text =
      " ConfigurationPort:\n\r   Connection from TCP/IP Address: " + RemoteAddress + "\n\r";
  text += PortLines(Bridges, [](const ChannelState& state) {
    return "   Connection from TCP/IP Address: " + state.RemoteAddress + "\n\r";
  });
  SendToConsole(text + "\n\r" + kPrompt);
}

void TBridgeTerminal::ShowTrafic() {
  const std::string text = PortLines(Bridges, [](const ChannelState& state) {
    return "   SpeedTx (char/10sec.): " + std::to_string(state.SpeedTx) + "\n\r" +
           "   SpeedRx (char/10sec.): " + std::to_string(state.SpeedRx) + "\n\r";
  });
  SendToConsole(text + "\n\r" + kPrompt);
}

}  // namespace kov
