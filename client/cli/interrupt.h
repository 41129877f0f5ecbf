#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

#include "platform/process_watch.h"

// Ending cleanly on SIGINT, SIGTERM, SIGHUP and SIGPIPE. The handler only notes the signal and
// kills the worker, through its pidfd: the session then sees its worker end within one of its
// wait slices, reaps it and unlinks its objects, and the tool unwinds as after any failure,
// removing what it made, instead of dying with the session's objects and folders left behind.
namespace tessel::cli {

class CInterruptGuard {
 public:
  // Installs the handlers, without SA_RESTART, so that a blocking read or write (standard input,
  // a pipe) ends with EINTR and its caller looks at Signal().
  CInterruptGuard();
  // Puts the previous handlers back.
  ~CInterruptGuard();
  CInterruptGuard(const CInterruptGuard&) = delete;
  CInterruptGuard& operator=(const CInterruptGuard&) = delete;
};

// The first of the signals that arrived; 0 while none has.
int InterruptSignal();
inline bool Interrupted() {
  return InterruptSignal() != 0;
}

// "SIGINT" and so on.
const char* SignalName(int signal);

// Up to `count` threads running `body`, none of which ever takes the signals above: they inherit
// that from the mask they are made with, so the handler runs on the thread that waits for them.
// Fewer when threads cannot be had; the caller does the work itself when there are none.
std::vector<std::thread> StartThreadsWithoutSignals(size_t count,
                                                    const std::function<void()>& body);

// The worker the handler kills on a signal, so that a command in progress ends now rather than
// when the worker finishes it; nullptr for none. The watch must outlive its registration.
void KillOnInterrupt(const CProcessWatch* worker);

}  // namespace tessel::cli
