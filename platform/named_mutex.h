#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "platform/mapping.h"

namespace tessel {

// A mutex shared by every process that opens the same name: a process-shared, robust pthread
// mutex inside its own POSIX shared-memory object ("/" + name), one page long. A holder that dies
// leaves the mutex "abandoned": the next waiter is granted it with WaitResult::Abandoned and the
// mutex is already made consistent again.
//
// The mutex checks its owner: a thread that waits again for the mutex it holds gets Failed
// (EDEADLK) instead of hanging, and a thread that does not hold it cannot release it.
class CNamedMutex {
 public:
  enum class WaitResult { Granted, Abandoned, TimedOut, Failed };

  CNamedMutex() = default;
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;
  CNamedMutex(CNamedMutex&&) noexcept = default;
  CNamedMutex& operator=(CNamedMutex&&) noexcept = default;
  ~CNamedMutex() = default;

  // Opens an existing, fully initialised mutex. False (errno set) when there is none (ENOENT),
  // or when the object is not one we can trust: it must belong to our effective user and be
  // closed to group and others (EACCES), since whoever controls it can stall every logger that
  // shares it, and it must be one of ours (EINVAL).
  bool Open(std::string_view name);

  // Creates the mutex, initialised, with exactly the given permission bits. Two processes racing
  // here end up with the same mutex: the object appears under its name only once it is
  // initialised, and the loser of the race opens the winner's. False (errno set) on failure.
  bool Create(std::string_view name, mode_t mode);

  // Waits at most `timeout` (a negative one counts as zero) for the mutex.
  WaitResult Wait(std::chrono::milliseconds timeout);
  // False (errno set) when the calling thread does not hold it.
  bool Release();

  bool IsOpen() const { return mapping_.Valid(); }
  void Close() { mapping_.Reset(); }

  // Removes the name (tests and tools clean up with this); processes that have it open keep it.
  static bool Remove(std::string_view name);

 private:
  CMapping mapping_;
};

}  // namespace tessel
