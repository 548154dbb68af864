#include "app/Status.h"

namespace kov {

StatusIndicators ComputeStatus(const StatusInputs& in) {
  StatusIndicators out;
  for (int i = 0; i < kStatusPortCount; ++i) {
    Indicator& local = out[LocalIndicator(i)];
    // The colour follows the configured flag, so an active port whose channel failed to open
    // still shows Listening; a connected channel shows Connected whatever the flag says.
    if (in.ChannelConnected[i] == 1) {
      local.Colour = IndicatorColour::Connected;
    } else if (in.Active[i] == 1) {
      local.Colour = IndicatorColour::Listening;
    }
    if (in.Active[i] == 1) local.Caption = std::to_string(in.TcpPort[i]);

    Indicator& remote = out[RemoteIndicator(i)];
    if (in.LinkConnected != 0 && in.LinkPortIndex == i) {
      remote.Colour = IndicatorColour::Connected;
      remote.Caption = kRemotePanelCaption;
    }
  }
  Indicator& config = out[kConfigIndicator];
  config.Colour = in.SessionActive == 1 ? IndicatorColour::Connected : IndicatorColour::Listening;
  config.KeepCaption = true;
  return out;
}

}  // namespace kov
