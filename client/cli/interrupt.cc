#include "client/cli/interrupt.h"

#include <errno.h>
#include <signal.h>

#include <atomic>
#include <iterator>
#include <system_error>

namespace tessel::cli {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

std::atomic<int> gSignal{0};
std::atomic<const CProcessWatch*> gWorker{nullptr};
static_assert(std::atomic<int>::is_always_lock_free &&
              std::atomic<const CProcessWatch*>::is_always_lock_free);

struct sigaction gPrevious[std::size(kSignals)];

// Async-signal-safe: atomics and pidfd_send_signal only.
void OnSignal(int signal) {
  const int saved = errno;
  int none = 0;
  gSignal.compare_exchange_strong(none, signal);
  if (const CProcessWatch* worker = gWorker.load()) worker->SendSignal(SIGKILL);
  errno = saved;
}

}  // namespace

CInterruptGuard::CInterruptGuard() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  ::sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &gPrevious[i]);
}

CInterruptGuard::~CInterruptGuard() {
  gWorker.store(nullptr);
  for (size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
}

int InterruptSignal() {
  return gSignal.load();
}

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    case SIGPIPE:
      return "SIGPIPE";
    default:
      return "a signal";
  }
}

void KillOnInterrupt(const CProcessWatch* worker) {
  gWorker.store(worker);
  // A signal that came before the worker was known finds it here.
  if (worker != nullptr && Interrupted()) worker->SendSignal(SIGKILL);
}

std::vector<std::thread> StartThreadsWithoutSignals(size_t count,
                                                    const std::function<void()>& body) {
  // The signals sent to the whole process; SIGPIPE is the writing thread's own.
  constexpr int kProcessSignals[] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t taken, previous;
  ::sigemptyset(&taken);
  for (int signal : kProcessSignals) ::sigaddset(&taken, signal);
  ::pthread_sigmask(SIG_BLOCK, &taken, &previous);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) {
    try {
      threads.emplace_back(body);
    } catch (const std::system_error&) {
      break;
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return threads;
}

}  // namespace tessel::cli
