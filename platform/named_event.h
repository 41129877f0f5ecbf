#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/shared_memory_region.h"

namespace tessel {

// A manual-reset event shared by name between processes.
//
// Wire layout (any process, in any language, can take part):
//   - The event is the POSIX shared-memory object "/" + name (shm_open). Its creator makes it
//     with mode 0600 and sizes it to 4096 bytes; openers need at least the first 4 bytes.
//   - The first 32-bit word of the object (offset 0, native byte order, 4-byte aligned) is the
//     whole state: 0 = reset, 1 = set. The rest of the object is unused.
//   - Set: store 1 (release order), then wake every waiter with a shared futex wake:
//     futex(word, FUTEX_WAKE, INT_MAX). It must not be FUTEX_WAKE_PRIVATE, which does not reach
//     other processes.
//   - Reset: store 0.
//   - Wait: load the word (acquire order); when it is 1, the event is signalled. Otherwise sleep
//     with futex(word, FUTEX_WAIT, <the value just read>, <time left>), again without the
//     _PRIVATE flag, and check the word again after every return (wake, EINTR, EAGAIN),
//     until it is 1 or the time is up.
// Values other than 0 and 1 are not part of the protocol; they read as reset.
//
// Failures return false (or WaitResult::Failed) with errno set, for the caller to log.
class CNamedEvent {
 public:
  enum class WaitResult { Signalled, TimedOut, Failed };

  // The size the creator gives the shared object.
  static constexpr size_t kObjectSize = 4096;

  CNamedEvent() = default;
  CNamedEvent(const CNamedEvent&) = delete;
  CNamedEvent& operator=(const CNamedEvent&) = delete;
  CNamedEvent(CNamedEvent&&) noexcept = default;
  CNamedEvent& operator=(CNamedEvent&&) noexcept = default;
  ~CNamedEvent() = default;

  // Creates a new event, reset, with mode 0600. Fails with EEXIST when the name is taken.
  bool Create(std::string_view name);
  // Opens an existing event. Fails with ENOENT when there is none, EINVAL when the object is
  // too small to hold the state word.
  bool Open(std::string_view name);

  bool Set();
  bool Reset();
  // Returns Signalled at once while the event is set; otherwise sleeps until it is set or
  // `timeout` has passed. A set event stays set for every waiter until someone resets it.
  WaitResult Wait(std::chrono::milliseconds timeout);

  bool IsOpen() const { return region_.IsOpen(); }
  void Close() { region_.Close(); }

  // Removes the name; processes that have the event open keep using it.
  static bool Unlink(std::string_view name);

 private:
  uint32_t* Word() const { return static_cast<uint32_t*>(region_.Data()); }

  CSharedMemoryRegion region_;
};

}  // namespace tessel
