#pragma once
// The byte values of the Telnet Com Port Control Option (option 44, telnet::kComPort): the
// command codes that open each of its subnegotiations and the values they carry.
//
// A client's command is IAC SB 44 <code> <value> IAC SE; the server answers with the same code
// plus kServerOffset and the value in use afterwards.
#include <cstdint>

namespace kov::rfc2217 {

// Command codes, as the client sends them.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;      // 4-byte rate, network order; 0 asks
inline constexpr uint8_t kSetDataSize = 2;      // 5..8; 0 asks
inline constexpr uint8_t kSetParity = 3;        // kParity...; 0 asks
inline constexpr uint8_t kSetStopSize = 4;      // kStop...; 0 asks
inline constexpr uint8_t kSetControl = 5;       // kControl...
inline constexpr uint8_t kNotifyLineState = 6;  // server to client: kLine... bits
inline constexpr uint8_t kNotifyModemState = 7; // server to client: kModem... bits
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;       // kPurge...
// Added to a command code in what the server sends.
inline constexpr uint8_t kServerOffset = 100;

inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kParityOdd = 2;
inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kParityMark = 4;
inline constexpr uint8_t kParitySpace = 5;

inline constexpr uint8_t kStopOne = 1;
inline constexpr uint8_t kStopTwo = 2;
inline constexpr uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values: flow control (outbound or both directions, then inbound), BREAK, DTR, RTS.
inline constexpr uint8_t kControlFlowAsk = 0;
inline constexpr uint8_t kControlFlowNone = 1;
inline constexpr uint8_t kControlFlowXonXoff = 2;
inline constexpr uint8_t kControlFlowHardware = 3;
inline constexpr uint8_t kControlBreakAsk = 4;
inline constexpr uint8_t kControlBreakOn = 5;
inline constexpr uint8_t kControlBreakOff = 6;
inline constexpr uint8_t kControlDtrAsk = 7;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlDtrOff = 9;
inline constexpr uint8_t kControlRtsAsk = 10;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kControlInboundAsk = 13;
inline constexpr uint8_t kControlInboundNone = 14;
inline constexpr uint8_t kControlInboundXonXoff = 15;
inline constexpr uint8_t kControlInboundHardware = 16;
inline constexpr uint8_t kControlFlowDcd = 17;         // outbound on DCD: not offered
inline constexpr uint8_t kControlInboundDtr = 18;      // inbound on DTR: not offered
inline constexpr uint8_t kControlFlowDsr = 19;         // outbound on DSR: not offered

// NOTIFY-MODEMSTATE bits: the lines, then what changed since the last notification.
inline constexpr uint8_t kModemCd = 0x80;
inline constexpr uint8_t kModemRi = 0x40;
inline constexpr uint8_t kModemDsr = 0x20;
inline constexpr uint8_t kModemCts = 0x10;
inline constexpr uint8_t kModemDeltaCd = 0x08;
inline constexpr uint8_t kModemRiTrailingEdge = 0x04;
inline constexpr uint8_t kModemDeltaDsr = 0x02;
inline constexpr uint8_t kModemDeltaCts = 0x01;

// NOTIFY-LINESTATE bits.
inline constexpr uint8_t kLineTimeout = 0x80;
inline constexpr uint8_t kLineShiftRegisterEmpty = 0x40;
inline constexpr uint8_t kLineHoldingRegisterEmpty = 0x20;
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineFramingError = 0x08;
inline constexpr uint8_t kLineParityError = 0x04;
inline constexpr uint8_t kLineOverrun = 0x02;
inline constexpr uint8_t kLineDataReady = 0x01;

// PURGE-DATA values: the server's buffer of bytes received from the device (on their way to the
// client), of bytes to transmit to the device, or both.
inline constexpr uint8_t kPurgeReceive = 1;
inline constexpr uint8_t kPurgeTransmit = 2;
inline constexpr uint8_t kPurgeBoth = 3;

// The masks a connection starts with: modem-line changes are reported, line errors are not.
inline constexpr uint8_t kInitialModemStateMask = 0xff;
inline constexpr uint8_t kInitialLineStateMask = 0x00;

}  // namespace kov::rfc2217
