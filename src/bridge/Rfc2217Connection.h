#pragma once
// One bridged connection of a port that speaks Telnet with the Com Port Control Option: the
// session, the serial line it drives, and the watch on the modem lines. It stands between the
// port and the connection as the relay's filter, for as long as the client is bridged.
//
//   Rfc2217Connection rfc(loop, relay, "KOV Bridge COM1", [&] { return connection; });
//   relay.SetFilter(&rfc);
//   rfc.Start();   // the opening offer
//   relay.Start();
//   ...
//   relay.SetFilter(nullptr);
//   rfc.Stop();    // no more timer ticks; the object may go once no call of it is under way
//
// The modem lines: the kernel can wait for a change of them (TIOCMIWAIT), but only by blocking
// the thread that asks, and this program runs on one thread. So they are polled every
// kModemPollMs, and only while the client wants to hear of them (a non-zero modem-state mask,
// which a client has until it sets one) and the driver can tell them: a pseudo-terminal cannot,
// and then nothing is polled at all. A change between two polls that the driver counted
// (TIOCGICOUNT) is told as well, as the line going one way and back.
#include <cstddef>
#include <functional>
#include <string>

#include "bridge/LineSetting.h"
#include "bridge/Rfc2217SerialLine.h"
#include "bridge/Rfc2217Session.h"
#include "bridge/SerialRelay.h"
#include "event/EventLoop.h"

namespace kov {

class TCustomWinSocket;

class Rfc2217Connection : public RelayFilter {
 public:
  static constexpr int64_t kModemPollMs = 250;

  // peer gives the connection now (nullptr once it is gone). The relay must outlive this object.
  Rfc2217Connection(EventLoop& loop, SerialRelay& relay, std::string signature,
                    std::function<TCustomWinSocket*()> peer);
  Rfc2217Connection(const Rfc2217Connection&) = delete;
  Rfc2217Connection& operator=(const Rfc2217Connection&) = delete;

  // Sends the opening offer.
  void Start();
  // The connection is over: nothing more is sent, the modem lines are no longer watched.
  void Stop();

  // RelayFilter
  void FromDevice(const char* data, size_t len) override;
  size_t FromPeer(const char* data, size_t len, size_t room) override;
  bool DeviceHeld() const override { return session_.ClientSuspended(); }

  const TRfc2217Session& Session() const { return session_; }
  // Whether the modem lines are being polled.
  bool Polling() const { return modemPoll_.Enabled(); }

 private:
  void ToPeer(const char* data, size_t len);
  // Runs the poll exactly while it is wanted.
  void UpdatePoll();
  void PollModemLines();

  SerialRelay& relay_;
  std::function<TCustomWinSocket*()> peer_;
  Rfc2217SerialLine line_;
  TRfc2217Session session_;
  Timer modemPoll_;
  bool stopped_ = false;
  bool linesKnown_ = false;  // the driver tells the modem lines
  ModemStatus last_;         // the lines at the last poll
};

}  // namespace kov
