#include "net/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/SocketError.h"

namespace kov {

// Lives as long as either side holds it; the eventfd closes with the last holder, so the worker
// can always signal it even after the lookup was cancelled.
struct THostLookup::Shared {
  int eventFd = -1;
  std::mutex mutex;
  bool ready = false;
  THostLookup::Result result;

  ~Shared() {
    if (eventFd >= 0) close(eventFd);
  }

  void Complete(THostLookup::Result r) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      result = std::move(r);
      ready = true;
    }
    eventfd_write(eventFd, 1);
  }
};

namespace {

THostLookup::Result Resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  THostLookup::Result r;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  int err = errno;
  if (rc != 0) {
    r.code = LookupErrorOf(rc, err);
    r.text = rc == EAI_SYSTEM ? std::strerror(err) : gai_strerror(rc);
    return r;
  }
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addr) {
      r.address = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
      freeaddrinfo(list);
      return r;
    }
  }
  freeaddrinfo(list);
  r.code = LookupErrorOf(EAI_NONAME, 0);
  r.text = gai_strerror(EAI_NONAME);
  return r;
}

}  // namespace

THostLookup::THostLookup(EventLoop& loop, const std::string& host, Callback done)
    : shared_(std::make_shared<Shared>()), done_(std::move(done)) {
  shared_->eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (shared_->eventFd < 0) throw SystemSocketError(errno, "WSAASyncGetHostByName");
  watch_ = std::make_unique<FdWatch>(loop, shared_->eventFd, [this](uint32_t) { Deliver(); });
  watch_->SetRead(true);

  in_addr numeric{};
  if (inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
    Result r;
    r.address = numeric.s_addr;
    shared_->Complete(r);
    return;
  }
  try {
    std::thread([shared = shared_, host] { shared->Complete(Resolve(host)); }).detach();
  } catch (const std::system_error& e) {
    throw SystemSocketError(e.code().value(), "WSAASyncGetHostByName");
  }
}

THostLookup::~THostLookup() = default;

void THostLookup::Deliver() {
  eventfd_t value;
  eventfd_read(shared_->eventFd, &value);
  Result r;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->ready) return;
    shared_->ready = false;
    r = shared_->result;
  }
  watch_->SetRead(false);
  // The callback may destroy this object: nothing of it is touched afterwards.
  Callback done = done_;
  if (done) done(r);
}

}  // namespace kov
