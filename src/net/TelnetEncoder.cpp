#include "net/TelnetEncoder.h"

namespace kov {

using namespace telnet;

void AppendEscaped(std::string& out, const char* data, size_t len) {
  out.reserve(out.size() + len);
  ForEachEscapedSpan(data, len, [&out](const char* span, size_t n) { out.append(span, n); });
}

std::string TelnetCommand(uint8_t command) {
  return {static_cast<char>(kIac), static_cast<char>(command)};
}

std::string TelnetNegotiation(uint8_t verb, uint8_t option) {
  return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string TelnetSubnegotiation(uint8_t option, std::string_view payload) {
  std::string out{static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(option)};
  AppendEscaped(out, payload);
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
  return out;
}

}  // namespace kov
