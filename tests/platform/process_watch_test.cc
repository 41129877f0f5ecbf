#include "platform/process_watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tessel {
namespace {

using namespace std::chrono_literals;
using State = CProcessWatch::State;
using ReapResult = CProcessWatch::ReapResult;

constexpr auto kPatience = 30s;

// A child that runs until its end of `pipe` is closed, then exits with `code`.
pid_t StartChildUntilClosed(int pipe[2], int code) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe[1]);
    char byte;
    while (::read(pipe[0], &byte, 1) > 0) {
    }
    ::_exit(code);
  }
  ::close(pipe[0]);
  return pid;
}

TEST(ProcessWatchTest, ChildRunsThenEndsWithItsExitCode) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  // 259 is only an exit code here; the kernel keeps its low 8 bits.
  const pid_t child = StartChildUntilClosed(pipe_fds, 259);
  ASSERT_GT(child, 0);

  CProcessWatch watch;
  ASSERT_TRUE(watch.Open(child));
  EXPECT_TRUE(watch.IsWatching());
  EXPECT_EQ(watch.Pid(), child);
  EXPECT_EQ(watch.IsAlive(), State::Running);
  EXPECT_EQ(watch.WaitForEnd(0ms), State::Running);
  CProcessWatch::ExitStatus status;
  EXPECT_EQ(watch.Reap(status, false), ReapResult::StillRunning);

  EXPECT_FALSE(watch.Open(::getpid()));
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(watch.Pid(), child);

  ::close(pipe_fds[1]);
  ASSERT_EQ(watch.WaitForEnd(kPatience), State::Ended);
  EXPECT_EQ(watch.IsAlive(), State::Ended);  // a zombie has ended too

  pollfd entry{watch.Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&entry, 1, 0), 1);

  ASSERT_EQ(watch.Reap(status, true), ReapResult::Reaped);
  EXPECT_TRUE(status.exited);
  EXPECT_EQ(status.code, 259 & 0xff);
  EXPECT_EQ(watch.IsAlive(), State::Ended);  // and stays ended once reaped
  EXPECT_EQ(watch.Reap(status, false), ReapResult::Failed);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessWatchTest, SignalReachesTheChildAndIsReported) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = StartChildUntilClosed(pipe_fds, 0);
  ASSERT_GT(child, 0);
  CProcessWatch watch;
  ASSERT_TRUE(watch.Open(child));
  ASSERT_TRUE(watch.SendSignal(SIGKILL));
  CProcessWatch::ExitStatus status;
  ASSERT_EQ(watch.Reap(status, true), ReapResult::Reaped);
  ::close(pipe_fds[1]);
  EXPECT_FALSE(status.exited);
  EXPECT_EQ(status.signal, SIGKILL);
}

TEST(ProcessWatchTest, ChildWatchesItsParentEnd) {
  // The worker's situation: a process watches the one that started it. Here a middle process
  // starts a watcher and ends; the watcher reports through a pipe what it saw.
  int report[2], hold[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(hold), 0);
  const pid_t middle = ::fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {
    ::close(report[0]);
    const pid_t parent = ::getpid();
    if (::fork() == 0) {
      ::close(hold[0]);
      CProcessWatch watch;
      char verdict = 'o';
      if (watch.Open(parent) && watch.IsAlive() == State::Running) {
        ::close(hold[1]);  // lets the parent end
        verdict = watch.WaitForEnd(kPatience) == State::Ended && watch.IsAlive() == State::Ended
                      ? 'e'
                      : 'r';
        CProcessWatch::ExitStatus status;
        if (watch.Reap(status, false) != ReapResult::Failed || errno != ECHILD) verdict = 'c';
      }
      (void)!::write(report[1], &verdict, 1);
      ::_exit(0);
    }
    ::close(report[1]);
    ::close(hold[1]);
    char byte;
    while (::read(hold[0], &byte, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(hold[0]);
  ::close(hold[1]);
  char verdict = 0;
  EXPECT_EQ(::read(report[0], &verdict, 1), 1);
  ::close(report[0]);
  EXPECT_EQ(verdict, 'e');
  int status;
  EXPECT_EQ(::waitpid(middle, &status, 0), middle);
}

TEST(ProcessWatchTest, RefusesWhatCannotBeWatched) {
  CProcessWatch watch;
  EXPECT_FALSE(watch.IsWatching());
  EXPECT_EQ(watch.IsAlive(), State::Failed);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(watch.SendSignal(0));

  EXPECT_FALSE(watch.Open(0));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(watch.Open(static_cast<pid_t>(0xFFFFFFFFu)));
  EXPECT_EQ(errno, EINVAL);

  // A process that has been reaped is gone for good.
  const pid_t gone = ::fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) ::_exit(0);
  int status;
  ASSERT_EQ(::waitpid(gone, &status, 0), gone);
  EXPECT_FALSE(watch.Open(gone));
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(watch.IsWatching());

  // Our own parent can be watched, but is not ours to reap.
  ASSERT_TRUE(watch.Open(::getppid()));
  EXPECT_EQ(watch.IsAlive(), State::Running);
  CProcessWatch::ExitStatus exit_status;
  EXPECT_EQ(watch.Reap(exit_status, false), ReapResult::Failed);
  EXPECT_EQ(errno, ECHILD);
  watch.Close();
  EXPECT_FALSE(watch.IsWatching());
  EXPECT_EQ(watch.Pid(), 0);
}

}  // namespace
}  // namespace tessel
