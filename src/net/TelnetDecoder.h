#pragma once
// Splits a received Telnet byte stream into data and protocol events, chunk by chunk as the
// network hands it over; a command split across reads (a lone IAC at the end of one included)
// is completed by the next.
//
//   class Session : public TTelnetHandler {
//     size_t OnData(const char* data, size_t len) override { device.Write(data, len); return len; }
//     void OnNegotiation(uint8_t verb, uint8_t option) override {
//       socket.SendString(options.Receive(verb, option));
//     }
//   };
//   TTelnetDecoder decoder(session);
//   decoder.Feed(bytes.data(), bytes.size());
//
// What the handler is told:
//   - data: runs of ordinary bytes, handed over as spans of the fed chunk itself wherever they
//     can be (no copy, no call per byte). IAC IAC is one byte 255; IAC followed by a byte below
//     240 stays both bytes, 255 and that byte.
//   - commands: IAC and 241..249 (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA), and an IAC SE outside
//     a subnegotiation, as the command byte.
//   - negotiations: IAC WILL/WONT/DO/DONT <option>.
//   - subnegotiations: IAC SB <option> <payload> IAC SE, with IAC IAC in the payload undoubled.
//     At most kMaxSubnegotiation payload bytes are kept; the rest is read to its IAC SE and
//     dropped, and the end says so (eTooLong). An IAC followed by another command inside the
//     payload ends the subnegotiation (eInterrupted) and that command is read as usual, so a
//     peer that never sends IAC SE cannot swallow the stream. IAC followed by a byte below 240
//     stays both bytes in the payload, as in data.
//
// A handler that stops reading Telnet at some point of the stream (the console once a login
// line is accepted) takes fewer bytes than offered from OnData: Feed then returns at once with
// the number of fed bytes consumed, and the decoder is left as if only those had been fed. The
// rest is the caller's to read as it likes; fed to the decoder again it gives the events that
// were not delivered. (Only a lone IAC held from an earlier chunk cannot be handed back: when
// the handler stops right before the byte 255 it began, Holding() tells so.)
//
// The decoder does not call itself again from a handler, and a handler must not feed the
// decoder that is calling it.
#include <array>
#include <cstddef>
#include <cstdint>

namespace kov {

class TTelnetHandler {
 public:
  // How a subnegotiation ended.
  enum TSubnegotiationEnd {
    eComplete,     // IAC SE, the whole payload kept
    eTooLong,      // IAC SE, payload cut to kMaxSubnegotiation bytes
    eInterrupted,  // another command came before IAC SE; the payload is what came before it
  };

  virtual ~TTelnetHandler() = default;
  // Ordinary bytes. Returns how many of them were taken: all of them (len) to go on reading.
  virtual size_t OnData(const char* data, size_t len) = 0;
  virtual void OnCommand(uint8_t /*command*/) {}
  virtual void OnNegotiation(uint8_t /*verb*/, uint8_t /*option*/) {}
  virtual void OnSubnegotiation(uint8_t /*option*/, const char* /*payload*/, size_t /*len*/,
                                TSubnegotiationEnd /*end*/) {}
};

class TTelnetDecoder {
 public:
  // Longest subnegotiation payload kept, in bytes (after undoubling).
  static constexpr size_t kMaxSubnegotiation = 256;

  explicit TTelnetDecoder(TTelnetHandler& handler) : handler_(handler) {}
  TTelnetDecoder(const TTelnetDecoder&) = delete;
  TTelnetDecoder& operator=(const TTelnetDecoder&) = delete;

  // Reads the bytes, telling the handler what they are. Returns len, or fewer when the handler
  // took fewer data bytes than offered: the number of bytes read up to the last one it took.
  size_t Feed(const char* data, size_t len);

  // True when the stream ended so far in the middle of a command (or subnegotiation).
  bool InCommand() const { return state_ != eData; }
  // True when the last byte read is an IAC whose meaning depends on the next byte.
  bool Holding() const { return state_ == eIac; }
  // Forgets any command begun.
  void Reset() { state_ = eData; }

 private:
  enum TState { eData, eIac, eVerb, eSbOption, eSbData, eSbIac };

  void SbAppend(const char* data, size_t len);
  void SbEnd(TTelnetHandler::TSubnegotiationEnd end);

  TTelnetHandler& handler_;
  TState state_ = eData;
  uint8_t verb_ = 0;       // eVerb: WILL, WONT, DO or DONT
  uint8_t sbOption_ = 0;   // eSbData, eSbIac: the subnegotiation's option
  size_t sbLen_ = 0;       // payload bytes kept
  bool sbOverflow_ = false;  // payload bytes dropped past the bound
  std::array<char, kMaxSubnegotiation> sb_{};
};

}  // namespace kov
