#pragma once
// The server side of one bridged connection that speaks Telnet with the Com Port Control Option
// (option 44): the client drives the serial line (rate, data size, parity, stop size, flow
// control, DTR, RTS, BREAK, purges) and hears of its modem lines, while data flows both ways with
// byte 255 doubled on the wire. The session knows neither sockets nor the serial layer: it is
// given the client's bytes, the device's bytes and the modem-line changes, calls the line
// (TRfc2217Line) for every setting, and hands bytes on through its two events.
//
//   TRfc2217Session session(line, "KOV Bridge COM1");
//   session.OnClientBytes = [&](const char* p, size_t n) { socket.SendBuf(p, n); };
//   session.OnDeviceBytes = [&](const char* p, size_t n) { serial.SioPuts(port, p, n); };
//   session.Start();  // the opening offer, right after the client connected
//
//   // The client's bytes, never more data for the device than it has room for now:
//   size_t used = session.FeedFromClient(buf, n, serial.SioTxFree(port));
//   // buf[used, n) is still the caller's: fed again, first, once the device has room.
//
//   // The device's bytes, while the client has not suspended them:
//   if (!session.ClientSuspended()) session.SendDeviceData(rx, k);
//   // The modem lines, when the caller sees them change (polled while ModemStateMask() != 0):
//   session.ModemLinesChanged(lines);
//
// What goes out:
//   - OnClientBytes: everything for the client, in the order it arises: the opening offer,
//     answers to negotiations, answers and notifications of the option, and device data with
//     every 255 doubled (one call per SendDeviceData, the caller's buffer itself when it holds
//     no 255).
//   - OnDeviceBytes: the client's data with IAC IAC undoubled, no other byte changed (BINARY or
//     not), as few calls as the stream allows (one per fed chunk unless commands cut it), the
//     fed buffer itself where it can be. Data that came before a command reaches the device
//     before the line is changed for that command.
//   - OnClientFlow(suspended): the client sent FLOWCONTROL-SUSPEND or -RESUME; while suspended
//     the caller sends no device data (answers and notifications still go).
//
// Negotiation: Start() offers DO and WILL COM-PORT-OPTION. A client's WILL/DO of COM-PORT-OPTION
// or BINARY is agreed to at once, every other option is refused (DONT/WONT), and a request is
// answered only when it changes the option's state, so nothing loops or stalls. Option commands
// count once COM-PORT-OPTION is on in either direction; the line's modem state goes to the
// client once then, as its first notification. A client whose own request crossed the offer may
// take the offer as its answer and never say WILL or DO (pyserial does, when the offer comes
// first): its first COM-PORT-OPTION command, while the offer is unanswered, counts as agreement.
//
// Option commands: each SET command (SET-BAUDRATE, -DATASIZE, -PARITY, -STOPSIZE, -CONTROL) is
// answered with code + 100 and the value in force afterwards, read back from the line: a value
// the line did not take, or one this side does not offer (1.5 stop bits on most lines, DCD flow
// control), is answered with the value still in force; 0 asks for the value. SET-...-MASK is
// answered with the mask, PURGE-DATA with what was purged, a SIGNATURE request with the
// signature, a NOTIFY-MODEMSTATE from the client with the modem state. FLOWCONTROL-SUSPEND and
// -RESUME are not answered. A command with a value of the wrong length, an unknown code, a
// SET-CONTROL or PURGE-DATA value outside their tables, a subnegotiation cut short or too long,
// one of another option, and any other Telnet command are ignored without an answer.
//
// Notifications: a change of the modem lines is sent as the lines (CD, RI, DSR, CTS) and what
// changed (CD, DSR, CTS, RI going off), as far as the client's mask lets through (all of it
// until the client sets one), when anything is left. Line conditions go the same way through
// the line-state mask, which lets nothing through until the client sets it.
//
// The session changes the line as the client asks and never changes it back: putting the port's
// own setting back when the client has gone is its owner's job.
//
// Events are called from inside the session's own calls; a handler must not call
// FeedFromClient from inside one. The session may be destroyed once no call of it is under way.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/Rfc2217Line.h"
#include "net/TelnetDecoder.h"
#include "net/TelnetOptions.h"

namespace kov {

class TRfc2217Session : private TTelnetHandler {
 public:
  using BytesEvent = std::function<void(const char* data, size_t len)>;
  using FlowEvent = std::function<void(bool suspended)>;

  // The line must outlive the session. The signature answers a client's SIGNATURE request
  // (none is given when it is empty).
  TRfc2217Session(TRfc2217Line& line, std::string signature);
  TRfc2217Session(const TRfc2217Session&) = delete;
  TRfc2217Session& operator=(const TRfc2217Session&) = delete;

  // Sends the opening offer; once, right after the connection opened.
  void Start();

  // Reads bytes received from the client, handing at most deviceRoom data bytes to the device.
  // Returns how many of the bytes were read: all of them, or fewer when the device's room ran
  // out; the rest is fed again (first) later, and nothing is lost or reordered.
  size_t FeedFromClient(const char* data, size_t len, size_t deviceRoom = SIZE_MAX);

  // Sends bytes from the device to the client, 255 doubled.
  void SendDeviceData(const char* data, size_t len);

  // The device's modem lines now; a change is told to the client where its mask asks for it.
  void ModemLinesChanged(const TRfc2217Line::TModemLines& lines);
  // Line conditions seen on the device (rfc2217::kLine... bits), told where the mask asks.
  void LineStateChanged(uint8_t bits);

  // True once COM-PORT-OPTION is on in either direction.
  bool ComPortActive() const;
  // True between the client's FLOWCONTROL-SUSPEND and FLOWCONTROL-RESUME.
  bool ClientSuspended() const { return suspended_; }
  // Which modem-state bits the client wants to hear of (0: none, no need to watch the lines).
  uint8_t ModemStateMask() const { return modemMask_; }
  uint8_t LineStateMask() const { return lineMask_; }
  // The text of the client's own SIGNATURE, empty until it sends one.
  const std::string& ClientSignature() const { return clientSignature_; }

  BytesEvent OnClientBytes;
  BytesEvent OnDeviceBytes;
  FlowEvent OnClientFlow;

 private:
  // TTelnetHandler
  size_t OnData(const char* data, size_t len) override;
  void OnNegotiation(uint8_t verb, uint8_t option) override;
  void OnSubnegotiation(uint8_t option, const char* payload, size_t len,
                        TSubnegotiationEnd end) override;

  // The client's data held for the device: a span of the fed chunk, or a copy once it is cut.
  void Hold(const char* data, size_t len);
  void FlushToDevice();

  void ComPortCommand(uint8_t code, const char* value, size_t len);
  // SET-DATASIZE, -PARITY or -STOPSIZE: applies the value, returns the one in force.
  uint8_t ApplyFormat(uint8_t code, uint8_t value);
  void SetControl(uint8_t value);
  void ReportModemLines();
  // IAC SB COM-PORT-OPTION <code + 100> <value> IAC SE.
  void Send(uint8_t code, const std::string& value);
  void SendByte(uint8_t code, uint8_t value) { Send(code, std::string(1, char(value))); }
  void ToClient(const std::string& bytes);

  TRfc2217Line& line_;
  const std::string signature_;
  TTelnetDecoder decoder_{*this};
  TTelnetOptions options_;

  size_t room_ = 0;                // device bytes still taken in this feed
  size_t fedLen_ = 0;              // the length of the fed chunk
  const char* held_ = nullptr;     // the data held for the device: in the chunk or in copy_
  size_t heldLen_ = 0;
  std::vector<char> copy_;         // held data made of more than one span
  std::vector<char> escaped_;      // device data with 255 doubled

  bool reported_ = false;          // the first modem state went to the client
  bool knownLines_ = false;        // lines_ holds the lines last seen
  TRfc2217Line::TModemLines lines_;
  uint8_t modemMask_;
  uint8_t lineMask_;
  bool suspended_ = false;
  bool offerOpen_ = false;   // the offer went out and the client has not said a word about it
  bool tookOffer_ = false;   // the client took the offer by using the option
  std::string clientSignature_;
};

}  // namespace kov
