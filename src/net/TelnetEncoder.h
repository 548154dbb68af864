#pragma once
// The sending side of Telnet: data with every byte 255 doubled, and the byte strings of
// commands, negotiations and subnegotiations.
//
//   // Straight from the device's buffer into the socket's queue, without a copy in between:
//   ForEachEscapedSpan(buf, n, [&](const char* span, size_t len) { socket.SendBuf(span, len); });
//   socket.SendString(TelnetNegotiation(telnet::kWill, telnet::kComPort));
//   socket.SendString(TelnetSubnegotiation(telnet::kComPort, reply));
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "net/TelnetCodes.h"

namespace kov {

// Calls sink(const char* span, size_t len) for consecutive spans whose concatenation is the
// data with every byte 255 doubled. The spans are slices of data: a span that ends with a 255
// is followed by one that begins with the same byte. Nothing is called for empty data.
template <class Sink>
void ForEachEscapedSpan(const char* data, size_t len, Sink&& sink) {
  const char* from = data;
  const char* scan = data;
  const char* const end = data + len;
  while (scan < end) {
    const void* iac = std::memchr(scan, telnet::kIac, end - scan);
    if (iac == nullptr) break;
    const char* at = static_cast<const char*>(iac);
    sink(from, static_cast<size_t>(at + 1 - from));
    from = at;  // the 255 goes out once more at the front of the next span
    scan = at + 1;
  }
  if (from < end) sink(from, static_cast<size_t>(end - from));
}

// Appends the data to out with every byte 255 doubled.
void AppendEscaped(std::string& out, const char* data, size_t len);
inline void AppendEscaped(std::string& out, std::string_view data) {
  AppendEscaped(out, data.data(), data.size());
}

// IAC <command>, e.g. IAC NOP.
std::string TelnetCommand(uint8_t command);
// IAC <verb> <option>; verb is WILL, WONT, DO or DONT.
std::string TelnetNegotiation(uint8_t verb, uint8_t option);
// IAC SB <option> <payload, 255 doubled> IAC SE.
std::string TelnetSubnegotiation(uint8_t option, std::string_view payload);

}  // namespace kov
