#include "platform/named_event.h"

#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace tessel {

namespace {

using WordRef = std::atomic_ref<uint32_t>;
static_assert(WordRef::is_always_lock_free, "the state word is shared with other processes");

constexpr uint32_t kReset = 0;
constexpr uint32_t kSet = 1;

// Far enough to mean "never" for any caller, near enough that the deadline cannot overflow.
constexpr auto kLongestWait = std::chrono::hours(24 * 365 * 10);

// Shared (not _PRIVATE) operations: the waiters live in other processes.
long FutexWait(uint32_t* word, uint32_t expected, const timespec* relative) {
  return ::syscall(SYS_futex, word, FUTEX_WAIT, expected, relative, nullptr, 0);
}

long FutexWakeAll(uint32_t* word) {
  return ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

bool CNamedEvent::Create(std::string_view name) {
  // A new object reads as zeros, so the event starts reset.
  return region_.Create(name, kObjectSize);
}

bool CNamedEvent::Open(std::string_view name) {
  if (!region_.Open(name, true)) return false;
  if (region_.Size() < sizeof(uint32_t)) {
    region_.Close();
    errno = EINVAL;
    return false;
  }
  return true;
}

bool CNamedEvent::Set() {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  WordRef(*Word()).store(kSet, std::memory_order_release);
  return FutexWakeAll(Word()) >= 0;
}

bool CNamedEvent::Reset() {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  WordRef(*Word()).store(kReset, std::memory_order_release);
  return true;
}

CNamedEvent::WaitResult CNamedEvent::Wait(std::chrono::milliseconds timeout) {
  if (!IsOpen()) {
    errno = EBADF;
    return WaitResult::Failed;
  }
  WordRef word(*Word());
  uint32_t value = word.load(std::memory_order_acquire);
  if (value == kSet) return WaitResult::Signalled;

  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, the clock futex timeouts use
  timeout =
      std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(0), kLongestWait);
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return WaitResult::TimedOut;
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
    relative.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
    // Sleep on the value we saw, so a word that holds neither 0 nor 1 does not make us spin.
    if (FutexWait(Word(), value, &relative) != 0 && errno != EINTR && errno != EAGAIN &&
        errno != ETIMEDOUT) {
      return WaitResult::Failed;
    }
    value = word.load(std::memory_order_acquire);
    if (value == kSet) return WaitResult::Signalled;
  }
}

bool CNamedEvent::Unlink(std::string_view name) {
  return CSharedMemoryRegion::Unlink(name);
}

}  // namespace tessel
