#pragma once
// What the status window shows, computed without any window system: one indicator per panel
// for the local bridge server of COM1..COM8, the remote server link of COM1..COM8 and the
// configuration channel. The window only carries the result onto its panels.
#include <array>
#include <cstdint>
#include <string>

namespace kov {

// Idle looks blank (the window's own background), Listening is yellow, Connected is lime.
enum class IndicatorColour { Idle, Listening, Connected };

struct Indicator {
  IndicatorColour Colour = IndicatorColour::Idle;
  std::string Caption;
  // The panel keeps the caption it has (the configuration indicator keeps its design "8800").
  bool KeepCaption = false;
};

constexpr int kStatusPortCount = 8;

// The state the indicators are computed from, read afresh at every refresh.
struct StatusInputs {
  // Of COM1..COM8: PortSettings Active and TcpPort, Connected of the local channel.
  std::array<uint8_t, kStatusPortCount> Active{};
  std::array<int32_t, kStatusPortCount> TcpPort{};
  std::array<uint8_t, kStatusPortCount> ChannelConnected{};
  uint8_t SessionActive = 0;  // a console holds a session
  uint8_t LinkConnected = 0;  // the remote link counts as connected
  int32_t LinkPortIndex = 0;  // serial port (0..7) of the remote link
};

constexpr int kIndicatorCount = 2 * kStatusPortCount + 1;
// Positions in the result: local 0..7, remote 8..15, configuration 16.
constexpr int LocalIndicator(int port) { return port; }
constexpr int RemoteIndicator(int port) { return kStatusPortCount + port; }
constexpr int kConfigIndicator = 2 * kStatusPortCount;

// The configuration panel's design caption, never changed at run time.
constexpr const char* kConfigPanelCaption = "8800";
// The remote server's TCP port, shown on the remote panel of the linked serial port.
constexpr const char* kRemotePanelCaption = "8899";

using StatusIndicators = std::array<Indicator, kIndicatorCount>;

StatusIndicators ComputeStatus(const StatusInputs& in);

}  // namespace kov
