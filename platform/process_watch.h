#pragma once

#include <sys/types.h>

#include <chrono>
#include <utility>

#include "platform/unique_fd.h"

namespace tessel {

// Watches one process through a pidfd. Unlike a bare process id, a pidfd keeps naming the same
// process after it has ended, so a recycled id can never be mistaken for it.
//
// Failures return false (or State::Failed) with errno set, for the caller to log.
class CProcessWatch {
 public:
  enum class State { Running, Ended, Failed };
  enum class ReapResult { Reaped, StillRunning, Failed };

  struct ExitStatus {
    bool exited = false;  // true: ended by exit() with `code`; false: killed by `signal`
    int code = 0;         // the low 8 bits the kernel keeps of the exit code
    int signal = 0;
  };

  CProcessWatch() = default;
  CProcessWatch(const CProcessWatch&) = delete;
  CProcessWatch& operator=(const CProcessWatch&) = delete;
  CProcessWatch(CProcessWatch&& other) noexcept
      : fd_(std::move(other.fd_)), pid_(std::exchange(other.pid_, 0)) {}
  CProcessWatch& operator=(CProcessWatch&& other) noexcept {
    if (this != &other) {
      fd_ = std::move(other.fd_);
      pid_ = std::exchange(other.pid_, 0);
    }
    return *this;
  }
  ~CProcessWatch() = default;

  // Starts watching `pid`. Fails with EINVAL for pid <= 0 (also what a process id above
  // INT_MAX becomes when cast), ESRCH when there is no such process, ENOSYS on kernels without
  // pidfds, and EBUSY when this object already watches a process (which stays watched).
  bool Open(pid_t pid);
  void Close();

  bool IsWatching() const { return fd_.Valid(); }
  pid_t Pid() const { return pid_; }
  // The pidfd, readable once the process has ended; for callers that poll it with other fds.
  int Fd() const { return fd_.Get(); }

  // Running or Ended without blocking. Failed (errno set) when the kernel cannot tell, and
  // (EBADF) when nothing is watched; callers decide what an unknown state means.
  State IsAlive() const;

  // Waits at most `timeout` for the process to end: Ended, Running when the time ran out.
  State WaitForEnd(std::chrono::milliseconds timeout) const;

  // Sends `signal` to exactly the watched process, even if its id has been reused meanwhile.
  bool SendSignal(int signal) const;

  // For a child of this process: collects its exit status. With `block` false, returns
  // StillRunning at once while it runs. Fails with ECHILD for a process that is not our child
  // or was already reaped.
  ReapResult Reap(ExitStatus& status, bool block);

 private:
  CUniqueFd fd_;
  pid_t pid_ = 0;
};

}  // namespace tessel
