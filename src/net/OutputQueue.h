#pragma once
// The bytes of a connection that the network has not taken yet, in the order they were sent:
// appended at the back, taken from the front as the socket becomes writable.
#include <cstddef>
#include <string>

namespace kov {

class TOutputQueue {
 public:
  bool Empty() const { return head_ == buf_.size(); }
  size_t Size() const { return buf_.size() - head_; }
  const char* Data() const { return buf_.data() + head_; }

  void Append(const char* data, size_t len) { buf_.append(data, len); }
  // Drops the first n bytes (n <= Size()).
  void Consume(size_t n);
  void Clear();

 private:
  std::string buf_;
  size_t head_ = 0;  // bytes at the front already taken by the network
};

}  // namespace kov
