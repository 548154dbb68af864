#pragma once
// Error kinds, error numbers and the raised error of the socket layer.
//
//   try { server.SetActive(true); }
//   catch (const kov::ESocketError& e) { /* e.what(): "Windows socket error: ... (10048), on API
//   'bind'" */ }
//
// Error numbers are the Windows Sockets numbers, so that texts and console lines read the same on
// every platform: WinSockErrorOf() maps an errno value, LookupErrorOf() a getaddrinfo() result.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kov {

// What a socket was doing when an error arrived.
enum TErrorEvent : int32_t {
  eeGeneral = 0,
  eeSend = 1,
  eeReceive = 2,
  eeConnect = 3,
  eeDisconnect = 4,
  eeAccept = 5,
  eeLookup = 6,
};

// Raised by the socket layer. Derived from std::runtime_error so that the event loop's error box
// shows its text.
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The error number reported when a client has neither a host name nor an address to connect to.
constexpr int32_t kNoAddressError = 1110;

// errno value -> Windows Sockets error number (10000 + errno where no special number applies).
int32_t WinSockErrorOf(int err);
// getaddrinfo() result (and errno for EAI_SYSTEM) -> Windows Sockets error number.
int32_t LookupErrorOf(int gaiResult, int err);

// "Windows socket error: <sysText> (<code>), on API '<api>'".
std::string SocketErrorText(const std::string& sysText, int32_t code, const std::string& api);
// The same text for a failed system call, from its errno value.
ESocketError SystemSocketError(int err, const std::string& api);
// "Asynchronous socket error <code>": an error event whose handler left the code set.
std::string AsyncSocketErrorText(int32_t code);

}  // namespace kov
