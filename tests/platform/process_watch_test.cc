#include "platform/process_watch.h"

#include <signal.h>
#include <sys/wait.h>

#include "tests/platform/shared_objects.h"

namespace tessel {

using State = CProcessWatch::State;
using ReapResult = CProcessWatch::ReapResult;

TEST(ProcessWatchTest, ReportsTheExitCodeOrTheSignal) {
  for (bool killed : {false, true}) {
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    CUniqueFd release(hold[1]);
    // The child itself is what is watched, its exit code or signal: a plain fork.
    const pid_t child = ::fork();
    if (child == 0) {
      char byte;  // runs until the pipe is closed; the kernel keeps 8 bits of the code
      ::close(hold[1]);
      ::_exit(::read(hold[0], &byte, 1) == 0 ? 259 : 1);
    }
    ::close(hold[0]);
    CProcessWatch watch;
    ASSERT_TRUE(watch.Open(child));
    EXPECT_EQ(watch.IsAlive(), State::Running);
    CProcessWatch::ExitStatus status;
    EXPECT_EQ(watch.Reap(status, false), ReapResult::StillRunning);

    EXPECT_TRUE(killed ? watch.SendSignal(SIGKILL) : (release.Reset(), true));
    ASSERT_EQ(watch.WaitForEnd(30s), State::Ended);
    EXPECT_EQ(watch.IsAlive(), State::Ended);  // a zombie has ended too
    ASSERT_EQ(watch.Reap(status, true), ReapResult::Reaped);
    EXPECT_EQ(status.exited, !killed);
    EXPECT_EQ(killed ? status.signal : status.code, killed ? SIGKILL : 259 & 0xff);
    EXPECT_EQ(watch.Reap(status, false), ReapResult::Failed);
    EXPECT_EQ(errno, ECHILD);
  }
}

// The worker's situation: it watches a process it did not start, which it cannot reap.
TEST(ProcessWatchTest, AProcessItDidNotStartIsWatchedToItsEndButNotReaped) {
  test::CForkedChild other([] { ::pause(); });
  test::RunInChild([&] {
    CProcessWatch watch;
    CProcessWatch::ExitStatus status;
    ASSERT_TRUE(watch.Open(other.Pid()));
    EXPECT_EQ(watch.IsAlive(), State::Running);
    ASSERT_TRUE(watch.SendSignal(SIGKILL));
    EXPECT_EQ(watch.WaitForEnd(30s), State::Ended);
    EXPECT_EQ(watch.IsAlive(), State::Ended);
    EXPECT_EQ(watch.Reap(status, false), ReapResult::Failed);
    EXPECT_EQ(errno, ECHILD);
  });
  const int status = other.Wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << test::DescribeStatus(status);
}

}  // namespace tessel
