#include "terminal/TelnetLoginFilter.h"

#include <cstring>
#include <utility>

#include "net/TelnetCodes.h"

namespace kov {

TelnetLoginFilter::TelnetLoginFilter(std::function<void(const std::string& bytes)> reply)
    : reply_(std::move(reply)) {
  Reset();
}

void TelnetLoginFilter::Reset() {
  decoder_.Reset();
  options_ = TTelnetOptions();
  options_.AllowLocal(telnet::kEcho);
  options_.AllowLocal(telnet::kSuppressGoAhead);
  options_.AllowRemote(telnet::kSuppressGoAhead);
  // The greeting's IAC DONT ECHO went out with the greeting: a WONT ECHO is its answer.
  options_.Request(telnet::kDont, telnet::kEcho);
  answers_.clear();
}

size_t TelnetLoginFilter::Read(const char* data, size_t len, const Sink& sink) {
  const void* lf = std::memchr(data, '\n', len);
  const size_t piece = lf != nullptr ? static_cast<const char*>(lf) + 1 - data : len;
  sink_ = &sink;
  stopped_ = false;
  const size_t read = decoder_.Feed(data, piece);
  sink_ = nullptr;
  Flush();
  return read;
}

size_t TelnetLoginFilter::OnData(const char* data, size_t len) {
  if (stopped_) return 0;
  Flush();  // answers go out in the order of what they answer
  for (size_t i = 0; i < len; ++i) {
    if (!(*sink_)(data[i])) {
      stopped_ = true;
      return i + 1;
    }
  }
  return len;
}

void TelnetLoginFilter::OnNegotiation(uint8_t verb, uint8_t option) {
  if (!stopped_) answers_ += options_.Receive(verb, option);
}

void TelnetLoginFilter::Flush() {
  if (answers_.empty()) return;
  reply_(answers_);
  answers_.clear();
}

}  // namespace kov
