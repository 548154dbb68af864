#include "net/TelnetDecoder.h"

#include <algorithm>
#include <cstring>

#include "net/TelnetCodes.h"

namespace kov {

using namespace telnet;

namespace {
// The byte 255 of an IAC that came at the end of an earlier chunk.
const char kByte255 = static_cast<char>(kIac);

const char* FindIac(const char* from, const char* end) {
  return static_cast<const char*>(std::memchr(from, kIac, end - from));
}
}  // namespace

size_t TTelnetDecoder::Feed(const char* data, size_t len) {
  const char* p = data;
  const char* const end = data + len;
  // Set when an IAC of this chunk turned out to be an ordinary 255 followed by an ordinary byte:
  // the data run then begins at that IAC, so both go out in one span.
  const char* runFrom = nullptr;
  while (p < end) {
    switch (state_) {
      case eData: {
        const char* from = runFrom != nullptr ? runFrom : p;
        runFrom = nullptr;
        const char* iac = FindIac(p, end);
        const char* stop = iac != nullptr ? iac : end;
        if (stop > from) {
          const size_t n = stop - from;
          const size_t taken = handler_.OnData(from, n);
          if (taken < n) return (from - data) + taken;
        }
        if (iac == nullptr) return len;
        state_ = eIac;
        p = iac + 1;
        break;
      }
      case eIac: {
        const uint8_t b = static_cast<uint8_t>(*p);
        if (b == kIac) {
          // IAC IAC: one ordinary 255, handed over as the second IAC itself.
          state_ = eData;
          if (handler_.OnData(p, 1) < 1) {
            if (p > data) return (p - 1) - data;  // both IACs left to the caller
            state_ = eIac;                        // the first came earlier: still held
            return 0;
          }
          ++p;
        } else if (b < kSe) {
          // IAC and an ordinary byte: both are data; the byte is read again as data.
          state_ = eData;
          if (p > data) {
            runFrom = p - 1;
          } else if (handler_.OnData(&kByte255, 1) < 1) {
            state_ = eIac;
            return 0;
          }
        } else if (b == kSb) {
          state_ = eSbOption;
          ++p;
        } else if (b >= kWill) {
          verb_ = b;
          state_ = eVerb;
          ++p;
        } else {
          state_ = eData;
          ++p;
          handler_.OnCommand(b);
        }
        break;
      }
      case eVerb:
        state_ = eData;
        handler_.OnNegotiation(verb_, static_cast<uint8_t>(*p++));
        break;
      case eSbOption:
        sbOption_ = static_cast<uint8_t>(*p++);
        sbLen_ = 0;
        sbOverflow_ = false;
        state_ = eSbData;
        break;
      case eSbData: {
        const char* iac = FindIac(p, end);
        const char* stop = iac != nullptr ? iac : end;
        SbAppend(p, stop - p);
        p = stop;
        if (iac != nullptr) {
          state_ = eSbIac;
          ++p;
        }
        break;
      }
      case eSbIac: {
        const uint8_t b = static_cast<uint8_t>(*p);
        if (b == kSe) {
          ++p;
          state_ = eData;
          SbEnd(sbOverflow_ ? TTelnetHandler::eTooLong : TTelnetHandler::eComplete);
        } else if (b == kIac || b < kSe) {
          // IAC IAC is one 255; IAC and an ordinary byte stay both bytes.
          if (b != kIac) SbAppend(&kByte255, 1);
          SbAppend(p++, 1);
          state_ = eSbData;
        } else {
          // Another command: the subnegotiation ends here and the command is read as usual.
          state_ = eIac;
          SbEnd(TTelnetHandler::eInterrupted);
        }
        break;
      }
    }
  }
  return len;
}

void TTelnetDecoder::SbAppend(const char* data, size_t len) {
  const size_t room = sb_.size() - sbLen_;
  if (len > room) {
    sbOverflow_ = true;
    len = room;
  }
  std::memcpy(sb_.data() + sbLen_, data, len);
  sbLen_ += len;
}

void TTelnetDecoder::SbEnd(TTelnetHandler::TSubnegotiationEnd end) {
  handler_.OnSubnegotiation(sbOption_, sb_.data(), sbLen_, end);
}

}  // namespace kov
