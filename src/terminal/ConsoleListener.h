#pragma once
// The console's listener: listens on the service port, closes for a while and reopens (after
// Exit, inactivity or a lock-out) on the port then stored, and keeps the console reachable when
// that port is no usable number or cannot be listened on. It is the one home of the service
// port's default and of the rule for a bad one:
//
// - a stored text that is no port number from 1 to 65535 is shown once, and the console listens
//   on the port it listened on before, or on the default port when it has listened on none;
// - a port that cannot be listened on (another program holds it) is shown once, and the console
//   goes back to the port it listened on before; when there is none, or that fails too, it tries
//   again every kRestartMs.
//
// It owns the server socket and the restart timer; the terminal takes the socket's events.
#include <cstdint>
#include <string>

#include "event/EventLoop.h"
#include "net/ServerSocket.h"

namespace kov {

class TConfigFile;

class ConsoleListener {
 public:
  static constexpr int32_t kDefaultPort = 8800;
  static constexpr int64_t kRestartMs = 5000;  // closed after Exit or inactivity; retry interval

  // The store must outlive the listener; only its service port text is read.
  ConsoleListener(EventLoop& loop, const TConfigFile& config);
  ConsoleListener(const ConsoleListener&) = delete;
  ConsoleListener& operator=(const ConsoleListener&) = delete;

  // Listens on the port a service port text names. A text that is no number is shown
  // ("'<text>' is not a valid integer value") and the default port is taken instead.
  void Start(const std::string& servicePort);
  // Listens on port now.
  void Start(int32_t port);
  // Closes the listener, dropping every connection without events, and listens again after
  // delayMs on the port the store then holds.
  void Restart(int64_t delayMs);

  TServerSocket Server;
  Timer RestartTimer;

 private:
  // The port the next listen tries; text is what it came from, for the error.
  void Aim(int32_t port, const std::string& text);
  // RestartTimer's event: listens on the port aimed at, or falls back.
  void Reopen();
  // Listens on port; false with the error's text when that cannot be done.
  bool TryListen(int32_t port, std::string& failure);

  EventLoop& loop_;
  const TConfigFile& config_;
  int32_t nextPort_ = -1;    // the port the next listen tries; -1: the text gave none
  std::string portText_;     // the text nextPort_ came from
  int32_t lastPort_ = -1;    // the port last listened on
  bool failing_ = false;     // listening failed and has not succeeded since
};

}  // namespace kov
