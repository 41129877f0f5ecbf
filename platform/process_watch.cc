#include "platform/process_watch.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace tessel {

namespace {

// One poll of the pidfd: 1 = ended, 0 = still running at the end of the time-out, -1 = error.
int PollEnded(int fd, int timeout_ms) {
  pollfd entry{};
  entry.fd = fd;
  entry.events = POLLIN;
  int rc = ::poll(&entry, 1, timeout_ms);
  if (rc < 0) return -1;
  if (rc == 0) return 0;
  if (entry.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  // POLLHUP: the process has ended and has been reaped as well.
  if (entry.revents & (POLLIN | POLLHUP)) return 1;
  errno = EIO;
  return -1;
}

}  // namespace

bool CProcessWatch::Open(pid_t pid) {
  if (IsWatching()) {
    errno = EBUSY;
    return false;
  }
  if (pid <= 0) {
    errno = EINVAL;
    return false;
  }
  // The kernel marks a pidfd close-on-exec by itself.
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) return false;
  fd_.Reset(static_cast<int>(fd));
  pid_ = pid;
  return true;
}

void CProcessWatch::Close() {
  fd_.Reset();
  pid_ = 0;
}

CProcessWatch::State CProcessWatch::IsAlive() const {
  if (!IsWatching()) {
    errno = EBADF;
    return State::Failed;
  }
  int ended;
  do {
    ended = PollEnded(fd_.Get(), 0);
  } while (ended < 0 && errno == EINTR);
  if (ended < 0) return State::Failed;
  return ended ? State::Ended : State::Running;
}

CProcessWatch::State CProcessWatch::WaitForEnd(std::chrono::milliseconds timeout) const {
  if (!IsWatching()) {
    errno = EBADF;
    return State::Failed;
  }
  using Clock = std::chrono::steady_clock;
  timeout = std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(0),
                                                  std::chrono::milliseconds(INT_MAX));
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int ended = PollEnded(fd_.Get(), static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ended > 0) return State::Ended;
    if (ended == 0) return State::Running;
    if (errno != EINTR) return State::Failed;
  }
}

bool CProcessWatch::SendSignal(int signal) const {
  if (!IsWatching()) {
    errno = EBADF;
    return false;
  }
  return ::syscall(SYS_pidfd_send_signal, fd_.Get(), signal, nullptr, 0) == 0;
}

CProcessWatch::ReapResult CProcessWatch::Reap(ExitStatus& status, bool block) {
  if (!IsWatching()) {
    errno = EBADF;
    return ReapResult::Failed;
  }
  siginfo_t info{};
  int rc;
  do {
    rc = ::waitid(P_PIDFD, static_cast<id_t>(fd_.Get()), &info, WEXITED | (block ? 0 : WNOHANG));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ReapResult::Failed;
  if (info.si_pid == 0) return ReapResult::StillRunning;
  status = ExitStatus{};
  if (info.si_code == CLD_EXITED) {
    status.exited = true;
    status.code = info.si_status;
  } else {
    status.signal = info.si_status;
  }
  return ReapResult::Reaped;
}

}  // namespace tessel
