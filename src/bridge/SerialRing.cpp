#include "bridge/SerialRing.h"

#include <algorithm>
#include <cstring>

namespace kov {

void SerialRing::Reset(size_t capacity) {
  if (capacity != capacity_ || !data_) {
    data_.reset();
    capacity_ = 0;
    if (capacity > 0) data_ = std::make_unique<char[]>(capacity);
    capacity_ = capacity;
  }
  Clear();
}

size_t SerialRing::Put(const char* bytes, size_t count) {
  iovec pieces[2];
  int n = FreePieces(pieces);
  size_t done = 0;
  for (int i = 0; i < n && done < count; ++i) {
    size_t part = std::min(pieces[i].iov_len, count - done);
    std::memcpy(pieces[i].iov_base, bytes + done, part);
    done += part;
  }
  Commit(done);
  return done;
}

size_t SerialRing::Take(char* out, size_t maxCount) {
  iovec pieces[2];
  int n = FilledPieces(pieces);
  size_t done = 0;
  for (int i = 0; i < n && done < maxCount; ++i) {
    size_t part = std::min(pieces[i].iov_len, maxCount - done);
    std::memcpy(out + done, pieces[i].iov_base, part);
    done += part;
  }
  Consume(done);
  return done;
}

int SerialRing::FilledPieces(iovec pieces[2]) {
  if (size_ == 0) return 0;
  size_t first = std::min(size_, capacity_ - head_);
  pieces[0] = iovec{data_.get() + head_, first};
  if (first == size_) return 1;
  pieces[1] = iovec{data_.get(), size_ - first};
  return 2;
}

int SerialRing::FreePieces(iovec pieces[2]) {
  size_t free = Free();
  if (free == 0) return 0;
  size_t tail = (head_ + size_) % capacity_;
  size_t first = std::min(free, capacity_ - tail);
  pieces[0] = iovec{data_.get() + tail, first};
  if (first == free) return 1;
  pieces[1] = iovec{data_.get(), free - first};
  return 2;
}

void SerialRing::Commit(size_t count) { size_ += std::min(count, Free()); }

void SerialRing::Consume(size_t count) {
  count = std::min(count, size_);
  size_ -= count;
  head_ = size_ == 0 ? 0 : (head_ + count) % capacity_;
}

}  // namespace kov
