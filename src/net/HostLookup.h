#pragma once
// Resolves one host name to an IPv4 address without blocking the event loop.
//
//   auto lookup = std::make_unique<THostLookup>(loop, "localhost", [](const THostLookup::Result& r)
//   {
//     if (r.code == 0) { /* r.address: the first IPv4 address, network byte order */ }
//   });
//   lookup.reset();  // cancels: the result, when it comes, is ignored
//
// A dotted numeric address needs no lookup. Any other name is resolved by getaddrinfo() on a
// short-lived worker thread, which hands the result back through an eventfd watched by the loop;
// the callback always runs on the loop thread, in a later turn, never inside the constructor.
// The callback may destroy the THostLookup.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/EventLoop.h"

namespace kov {

class THostLookup {
 public:
  struct Result {
    int32_t code = 0;      // 0, or the Windows Sockets error number of the failure
    std::string text;      // the system's text for the failure
    uint32_t address = 0;  // IPv4 address in network byte order when code is 0
  };
  using Callback = std::function<void(const Result& result)>;

  // Raises ESocketError (API "WSAASyncGetHostByName") when the lookup cannot be started.
  THostLookup(EventLoop& loop, const std::string& host, Callback done);
  ~THostLookup();
  THostLookup(const THostLookup&) = delete;
  THostLookup& operator=(const THostLookup&) = delete;

 private:
  struct Shared;  // the state shared with the worker thread
  void Deliver();

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<FdWatch> watch_;
  Callback done_;
};

}  // namespace kov
