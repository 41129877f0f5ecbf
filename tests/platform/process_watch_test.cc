#include "platform/process_watch.h"

#include <signal.h>

#include "tests/platform/child_process.h"

namespace tessel {

using State = CProcessWatch::State;
using ReapResult = CProcessWatch::ReapResult;

TEST(ProcessWatchTest, ReportsTheExitCodeOrTheSignal) {
  for (bool killed : {false, true}) {
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    CUniqueFd release(hold[1]);
    const pid_t child = test::Fork([&] {
      char byte;  // runs until the pipe is closed; the kernel keeps 8 bits of the code
      return ::close(hold[1]), ::read(hold[0], &byte, 1) == 0 ? 259 : 1;
    });
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

// The worker's situation: it watches the process that started it, which it cannot reap.
TEST(ProcessWatchTest, ChildSeesItsParentEnd) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t parent = test::Fork([&] {
    test::Fork([&] {
      CProcessWatch watch;
      CProcessWatch::ExitStatus status;
      bool ok = watch.Open(::getppid()) && watch.IsAlive() == State::Running &&
                watch.SendSignal(SIGKILL) && watch.WaitForEnd(30s) == State::Ended &&
                watch.IsAlive() == State::Ended &&
                watch.Reap(status, false) == ReapResult::Failed && errno == ECHILD;
      return ::write(report[1], ok ? "e" : "-", 1) == 1 ? 0 : 1;
    });
    return ::pause();
  });
  ::close(report[1]);
  char seen = 0;
  EXPECT_EQ(::read(report[0], &seen, 1), 1);
  ::close(report[0]);
  EXPECT_EQ(seen, 'e');
  if (seen != 'e') ::kill(parent, SIGKILL);
  EXPECT_EQ(test::ExitCode(parent), 128 + SIGKILL);
}

}  // namespace tessel
