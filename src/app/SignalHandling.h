#pragma once
// The signals of both programs. A program that runs for months under a service manager, from a
// terminal or beside scripts is ended only by the signals that ask for it, and then in order:
//
// - SIGTERM, SIGINT and SIGHUP (what a closing terminal sends) close the program as the
//   confirmed Close does: the orderly shutdown, bridged clients let go with the B02 notice;
// - SIGUSR1, SIGUSR2 and SIGALRM are logged and otherwise ignored;
// - SIGPIPE (a peer that went away) and SIGXFSZ (a file size limit reached) are ignored: the
//   write fails with an error instead, which its caller reports (a save that cannot be written
//   completely answers with the save error and leaves the old file as it was).
#include <functional>

namespace kov {

class EventLoop;

// Ignores SIGPIPE and SIGXFSZ and blocks the watched signals in the calling thread, so that
// every thread started later (a toolkit's, a name lookup's) inherits the mask and none of these
// signals reaches the program the default way. Call it first thing in main, before any thread
// starts.
void PrepareSignals();

// Lets the closing signals end the program the default way again, in the calling thread (for a
// program that is about to end anyway and waits only for a dialog).
void ReleaseClosingSignals();

// Takes the watched signals on the loop: each is logged when it arrives, and the closing ones
// run close.
void WatchSignals(EventLoop& loop, std::function<void()> close);

}  // namespace kov
