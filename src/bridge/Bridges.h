#pragma once
// The channel set: the eight local bridge channels, index 0..7 for COM1..COM8, and the two
// operations on all of them that the remote link and the console use.
//
//   TBridges bridges(loop, serial, config);
//   bridges.Channel(0).Open(9, 2, 8801);
//   bridges.StopAll();   // every channel closed, every active flag 0
//   bridges.StartAll();  // every port tried; the flag of each one that opened set to 1
#include <array>
#include <cstdint>
#include <memory>

#include "bridge/BridgeChanel.h"

namespace kov {

class EventLoop;
class SerialLibrary;
class TConfigFile;

class TBridges {
 public:
  static constexpr int32_t kChannelCount = 8;

  // Creates the eight channels, closed, in index order.
  TBridges(EventLoop& loop, SerialLibrary& serial, TConfigFile& config);
  // Destroys the channels in index order; each one closes.
  ~TBridges();
  TBridges(const TBridges&) = delete;
  TBridges& operator=(const TBridges&) = delete;

  // index 0..7; raises std::out_of_range for any other.
  TBridgeChanel& Channel(int32_t index);
  const TBridgeChanel& Channel(int32_t index) const;

  // Opens every channel with its port's settings; a port that opens gets its active flag set
  // (so does one whose device went away and is waited for), one that fails keeps its flag.
  void StartAll();
  // Closes every channel and clears every active flag, also where the close failed.
  void StopAll();

  std::array<std::unique_ptr<TBridgeChanel>, kChannelCount> Channels;

 private:
  TConfigFile& config_;
};

}  // namespace kov
