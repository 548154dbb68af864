#include "bridge/Bridges.h"

#include <stdexcept>
#include <string>

#include "config/ConfigFile.h"

namespace kov {

TBridges::TBridges(EventLoop& loop, SerialLibrary& serial, TConfigFile& config) : config_(config) {
  for (int32_t i = 0; i < kChannelCount; ++i) {
    Channels[i] = std::make_unique<TBridgeChanel>(loop, serial, config, i);
  }
}

TBridges::~TBridges() {
  for (auto& channel : Channels) channel.reset();
}

TBridgeChanel& TBridges::Channel(int32_t index) {
  if (index < 0 || index >= kChannelCount) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *Channels[index];
}

const TBridgeChanel& TBridges::Channel(int32_t index) const {
  return const_cast<TBridges*>(this)->Channel(index);
}

void TBridges::StartAll() {
  for (int32_t i = 0; i < kChannelCount; ++i) {
    const PortSettings& port = config_.Ports[i];
    if (Channels[i]->Open(port.SpeedIndex, port.ParityIndex, port.TcpPort) >= 0) {
      config_.Ports[i].Active = 1;
    }
  }
}

void TBridges::StopAll() {
  for (int32_t i = 0; i < kChannelCount; ++i) {
    Channels[i]->Close();
    config_.Ports[i].Active = 0;
  }
}

}  // namespace kov
