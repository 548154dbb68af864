#include "net/TelnetOptions.h"

#include "net/TelnetCodes.h"
#include "net/TelnetEncoder.h"

namespace kov {

using namespace telnet;

namespace {
std::string Answer(uint8_t verb, uint8_t option) {
  return verb == 0 ? std::string() : TelnetNegotiation(verb, option);
}
}  // namespace

std::string TTelnetOptions::Receive(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kWill:
      return Answer(Enabled(remote_[option], allowRemote_[option], kDo, kDont), option);
    case kWont:
      return Answer(Disabled(remote_[option], kDo, kDont), option);
    case kDo:
      return Answer(Enabled(local_[option], allowLocal_[option], kWill, kWont), option);
    case kDont:
      return Answer(Disabled(local_[option], kWill, kWont), option);
    default:
      return {};
  }
}

std::string TTelnetOptions::Request(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kWill:
    case kWont:
      return Answer(Want(local_[option], verb == kWill, kWill, kWont), option);
    case kDo:
    case kDont:
      return Answer(Want(remote_[option], verb == kDo, kDo, kDont), option);
    default:
      return {};
  }
}

uint8_t TTelnetOptions::Enabled(TSide& side, bool allowed, uint8_t on, uint8_t off) {
  switch (side.state) {
    case eNo:
      if (!allowed) return off;
      side.state = eYes;
      return on;
    case eYes:
      return 0;
    case eWantNo:
      // Our "off" was answered "on": a peer in error. Take its word, ask nothing more.
      side.state = side.opposite ? eYes : eNo;
      side.opposite = false;
      return 0;
    case eWantYes:
      if (!side.opposite) {
        side.state = eYes;
        return 0;
      }
      side.state = eWantNo;
      side.opposite = false;
      return off;
  }
  return 0;
}

uint8_t TTelnetOptions::Disabled(TSide& side, uint8_t on, uint8_t off) {
  switch (side.state) {
    case eNo:
      return 0;
    case eYes:
      side.state = eNo;
      return off;
    case eWantNo:
      if (!side.opposite) {
        side.state = eNo;
        return 0;
      }
      side.state = eWantYes;
      side.opposite = false;
      return on;
    case eWantYes:
      side.state = eNo;
      side.opposite = false;
      return 0;
  }
  return 0;
}

uint8_t TTelnetOptions::Want(TSide& side, bool enable, uint8_t on, uint8_t off) {
  const TState settled = enable ? eYes : eNo;
  const TState going = enable ? eWantYes : eWantNo;
  const TState leaving = enable ? eWantNo : eWantYes;
  if (side.state == settled || side.state == going) {
    side.opposite = false;  // already there or on the way: a queued reversal is dropped
    return 0;
  }
  if (side.state == leaving) {
    side.opposite = true;  // asked once the pending answer came
    return 0;
  }
  side.state = going;
  return enable ? on : off;
}

}  // namespace kov
