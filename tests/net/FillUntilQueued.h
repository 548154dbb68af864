#pragma once
// Fills a connection until the network stops taking its output and bytes stay queued in it.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "net/WinSocket.h"

namespace kov {

// Sends 64 KiB pieces of 'w' until bytes stay queued; returns the number of bytes sent.
inline int64_t FillUntilQueued(TCustomWinSocket& socket) {
  const std::string piece(64 * 1024, 'w');
  int64_t total = 0;
  for (int i = 0; i < 4096 && socket.OutputQueued() == 0; ++i) {
    if (socket.SendString(piece) != static_cast<int32_t>(piece.size())) break;
    total += static_cast<int64_t>(piece.size());
  }
  if (socket.OutputQueued() == 0) throw std::runtime_error("the network takes everything");
  return total;
}

}  // namespace kov
