#include "net/OutputQueue.h"

namespace kov {

namespace {
// Taken bytes are cut off the front once they are this many and at least half of the buffer,
// so a long-lived queue neither grows without bound nor moves its bytes on every send.
constexpr size_t kCompactAt = 64 * 1024;
}  // namespace

void TOutputQueue::Consume(size_t n) {
  head_ += n;
  if (head_ >= buf_.size()) {
    Clear();
  } else if (head_ >= kCompactAt && head_ * 2 >= buf_.size()) {
    buf_.erase(0, head_);
    head_ = 0;
  }
}

void TOutputQueue::Clear() {
  buf_.clear();
  head_ = 0;
}

}  // namespace kov
