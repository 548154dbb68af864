#include "terminal/ChannelCommands.h"

#include "bridge/BridgeChanel.h"
#include "bridge/Bridges.h"
#include "bridge/SerialLibrary.h"
#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "terminal/CommandArgs.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"

namespace kov::commands {

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

// A channel that keeps running keeps its old settings.
void LoadConfig(const CommandContext& c, const std::string&, const std::string&) {
  const int32_t result = c.Config.Load();
  if (result < 0) return c.Report(result);
  if (c.Bridges == nullptr) return c.Report(kErrNoHandler);
  for (int32_t i = 0; i < kChannelCount; ++i) {
    TBridgeChanel& channel = c.Bridges->Channel(i);
    PortSettings& port = c.Config.Ports[static_cast<size_t>(i)];
    const std::string prefix = "Port " + std::to_string(i + 1) + ": ";
    if (channel.Opened == 1 && port.Active == 0) {
      const int32_t closed = channel.Close();
      if (closed < 0) {
        c.Send(prefix);
        return c.Report(closed);
      }
    } else if (channel.Opened == 0 && port.Active == 1) {
      if (channel.Open(port.SpeedIndex, port.ParityIndex, port.TcpPort) < 0) {
        c.Send(prefix);
        c.Report(kSioCannotOpen);
        port.Active = 0;
        return;
      }
    }
  }
  c.Send(kOkReply);
}

void Start(const CommandContext& c, const std::string& P1, const std::string&) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return c.Report(kErrBadParams);
  PortSettings& port = c.Config.Ports[static_cast<size_t>(index)];
  if (port.Active == 1) return c.Report(kErrPortOpened);
  if (c.Bridges == nullptr) return c.Report(kErrNoHandler);
  if (c.Bridges->Channel(index).Open(port.SpeedIndex, port.ParityIndex, port.TcpPort) < 0) {
    return c.Report(kSioCannotOpen);
  }
  port.Active = 1;
  c.Send(kOkReply);
}

void Stop(const CommandContext& c, const std::string& P1, const std::string&) {
  int32_t index = 0;
  if (!SerialPortIndex(P1, index)) return c.Report(kErrBadParams);
  c.Config.Ports[static_cast<size_t>(index)].Active = 0;
  if (c.Bridges == nullptr) return c.Report(kErrNoHandler);
  const int32_t result = c.Bridges->Channel(index).Close();
  if (result < 0) return c.Report(result);
  c.Send(kOkReply);
}

void ShowConnection(const CommandContext& c, const std::string&, const std::string&) {
  std::string text =
      " ConfigurationPort:\n\r   Connection from TCP/IP Address: " + c.Peer + "\n\r";
  text += PortLines(c.Bridges, [](const ChannelState& state) {
    return "   Connection from TCP/IP Address: " + state.RemoteAddress + "\n\r";
  });
  c.Send(text + "\n\r" + kPrompt);
}

void ShowTrafic(const CommandContext& c, const std::string&, const std::string&) {
  const std::string text = PortLines(c.Bridges, [](const ChannelState& state) {
    return "   SpeedTx (char/10sec.): " + std::to_string(state.SpeedTx) + "\n\r" +
           "   SpeedRx (char/10sec.): " + std::to_string(state.SpeedRx) + "\n\r";
  });
  c.Send(text + "\n\r" + kPrompt);
}

}  // namespace kov::commands
