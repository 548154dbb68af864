#pragma once
// A fixed-capacity byte ring: the receive and transmit queues of a serial port. Its free and
// filled parts are offered as up to two iovec pieces each, so the device can be read straight
// into the ring and written straight from it.
#include <sys/uio.h>

#include <cstddef>
#include <memory>

namespace kov {

class SerialRing {
 public:
  SerialRing() = default;
  explicit SerialRing(size_t capacity) { Reset(capacity); }

  // Empties the ring and gives it a new capacity (the storage is allocated anew when the
  // capacity changes; may throw std::bad_alloc).
  void Reset(size_t capacity);
  void Clear() { head_ = size_ = 0; }

  size_t Capacity() const { return capacity_; }
  size_t Size() const { return size_; }
  size_t Free() const { return capacity_ - size_; }
  bool Empty() const { return size_ == 0; }
  bool Full() const { return size_ == capacity_; }

  // Appends what fits of bytes; returns the count taken.
  size_t Put(const char* bytes, size_t count);
  // Moves at most maxCount bytes from the front into out; returns the count moved.
  size_t Take(char* out, size_t maxCount);

  // The filled part, oldest bytes first, as 0..2 pieces; returns the number of pieces.
  int FilledPieces(iovec pieces[2]);
  // The free part, in the order it fills, as 0..2 pieces; returns the number of pieces.
  int FreePieces(iovec pieces[2]);
  // After bytes were copied into the free pieces: counts count of them as filled.
  void Commit(size_t count);
  // After bytes were sent from the filled pieces: drops count of them from the front.
  void Consume(size_t count);

 private:
  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;
  size_t head_ = 0;  // index of the oldest byte
  size_t size_ = 0;
};

}  // namespace kov
