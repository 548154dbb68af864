#pragma once
// The option negotiation of one Telnet connection, both sides of every option: ours ("local",
// what we WILL or WONT do, asked by the peer's DO and DONT) and the peer's ("remote", what it
// WILL or WONT do, asked by our DO and DONT).
//
// Each side of each option goes NO -> WANTYES -> YES -> WANTNO -> NO, with one change queued
// while a request is under way, so that a request is answered only when it changes the state and
// two ends that disagree cannot loop.
//
//   TTelnetOptions options;
//   options.AllowLocal(telnet::kEcho);         // a peer's DO ECHO is answered WILL ECHO
//   options.AllowRemote(telnet::kSuppressGoAhead);
//   socket.SendString(options.Request(telnet::kWill, telnet::kSuppressGoAhead));  // an offer
//   ...
//   socket.SendString(options.Receive(verb, option));  // from the decoder; often nothing
//   if (options.LocalEnabled(telnet::kEcho)) ...
//
// An owner that sends a negotiation of its own, outside this class (fixed greeting bytes), tells
// it with Request and drops the bytes Request gives: the peer's answer then counts as the answer
// to it and is not answered again.
#include <array>
#include <bitset>
#include <cstdint>
#include <string>

namespace kov {

class TTelnetOptions {
 public:
  // Options a peer may turn on: on our side (its DO is agreed to) and on its side (its WILL is
  // agreed to). Everything else is refused. Taking an option back does not turn it off.
  void AllowLocal(uint8_t option, bool allow = true) { allowLocal_[option] = allow; }
  void AllowRemote(uint8_t option, bool allow = true) { allowRemote_[option] = allow; }

  // A negotiation received (verb WILL, WONT, DO or DONT): the bytes to send in answer, empty
  // when none are due. Any other verb is ignored.
  std::string Receive(uint8_t verb, uint8_t option);
  // We want the option on or off: verb WILL or WONT for our side, DO or DONT for the peer's.
  // Gives the bytes to send, empty when the side is already so or going so (a change asked for
  // while a request is under way is sent once the answer came).
  std::string Request(uint8_t verb, uint8_t option);

  bool LocalEnabled(uint8_t option) const { return local_[option].state == eYes; }
  bool RemoteEnabled(uint8_t option) const { return remote_[option].state == eYes; }

 private:
  enum TState : uint8_t { eNo, eYes, eWantNo, eWantYes };
  struct TSide {
    TState state = eNo;
    bool opposite = false;  // while WANT...: the opposite change is asked for after the answer
  };

  // The peer says the side is on (WILL, DO) or off (WONT, DONT); returns the verb to answer
  // with, 0 for none. on/off are our verbs for that side (DO/DONT or WILL/WONT).
  static uint8_t Enabled(TSide& side, bool allowed, uint8_t on, uint8_t off);
  static uint8_t Disabled(TSide& side, uint8_t on, uint8_t off);
  static uint8_t Want(TSide& side, bool enable, uint8_t on, uint8_t off);

  std::array<TSide, 256> local_{};
  std::array<TSide, 256> remote_{};
  std::bitset<256> allowLocal_;
  std::bitset<256> allowRemote_;
};

}  // namespace kov
