#include "net/SocketError.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace kov {

int32_t WinSockErrorOf(int err) {
  switch (err) {
    case EACCES:
      return 10013;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETUNREACH:
      return 10051;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTUNREACH:
      return 10065;
    default:
      return 10000 + err;
  }
}

int32_t LookupErrorOf(int gaiResult, int err) {
  switch (gaiResult) {
    case 0:
      return 0;
    case EAI_NONAME:
      return 11001;  // host not found
    case EAI_AGAIN:
      return 11002;  // try again
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // the name is known but has no address
#endif
    case EAI_SYSTEM:
      return WinSockErrorOf(err);
    default:
      return 11003;  // a failure that will not go away by trying again
  }
}

std::string SocketErrorText(const std::string& sysText, int32_t code, const std::string& api) {
  return "Windows socket error: " + sysText + " (" + std::to_string(code) + "), on API '" + api +
         "'";
}

ESocketError SystemSocketError(int err, const std::string& api) {
  return ESocketError(SocketErrorText(std::strerror(err), WinSockErrorOf(err), api));
}

std::string AsyncSocketErrorText(int32_t code) {
  return "Asynchronous socket error " + std::to_string(code);
}

}  // namespace kov
