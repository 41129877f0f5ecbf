// The client against workers that break the protocol, hang, die or do not start.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "client/session.h"
#include "platform/process.h"
#include "tests/client/client_test_support.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

using namespace std::chrono_literals;

SessionOptions RogueOptions(std::string path = "child_rogue_worker") {
  SessionOptions options;
  options.workerPath = path.front() == '/' ? path : ExecutableFolder().append(path);
  options.commandDeadline = 300ms;
  return options;
}

TEST(UntrustedWorkerTest, BadOutputAndAbsurdRequestsAreRefusedAndTheSessionGoesOn) {
  Session session;
  ASSERT_TRUE(session.Start(RogueOptions()).Ok());
  const char* expected[] = {"outside the 2097152-byte inline area",
                            "outside the 4096-byte extended region", "add up to 4294967300 bytes",
                            "add up to 4294967316 bytes"};
  for (uint64_t misdeed = 1; misdeed <= 4; ++misdeed) {
    Result<Reply> reply = session.Send(100, misdeed);
    ASSERT_FALSE(reply.Ok()) << misdeed;
    EXPECT_EQ(reply.Error().Kind(), ErrorKind::kBadOutput);
    EXPECT_NE(reply.Error().Message().find(expected[misdeed - 1]), std::string::npos)
        << reply.Error().Message();
  }
  // The worker checks that it got a refusal and found no region under the name.
  std::vector<BufferRequestInfo> requests;
  session.SetBufferRequestHook(
      [&](Session&, const BufferRequestInfo& info) { requests.push_back(info); });
  Result<Reply> refused = session.Send(100, 5);
  ASSERT_TRUE(refused.Ok()) << refused.Error().Message();
  EXPECT_TRUE(refused->Succeeded());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requiredSize, 0xfffffff0u);
  EXPECT_FALSE(requests[0].granted);
  EXPECT_EQ(session.ExtendedRegionSize(), PageSize());  // there for later commands again
  EXPECT_TRUE(session.Ping().Ok());
}

TEST(UntrustedWorkerTest, WorkerThatDiesOrHangsEndsTheSessionCleanly) {
  const char* expected[] = {"worker exited with code 100 before answering command 100",
                            "worker did not answer command 100 within 300 ms; it has been killed"};
  for (uint64_t misdeed : {6, 7}) {
    Session session;
    ASSERT_TRUE(session.Start(RogueOptions()).Ok());
    const pid_t pid = session.WorkerPid();
    Result<Reply> reply = session.Send(100, misdeed);
    ASSERT_FALSE(reply.Ok());
    EXPECT_EQ(reply.Error().Message(), expected[misdeed - 6]);
    EXPECT_EQ(reply.Error().Kind(), misdeed == 6 ? ErrorKind::kWorkerEnded : ErrorKind::kTimedOut);
    ASSERT_TRUE(session.WorkerExit().has_value());
    EXPECT_EQ(session.WorkerExit()->signal, misdeed == 6 ? 0 : SIGKILL);
    EXPECT_TRUE(IsReaped(pid));
    EXPECT_FALSE(AnyObjectLeft(session));
    Status after = session.Ping();
    EXPECT_EQ(after.Kind(), ErrorKind::kNotRunning);
    EXPECT_NE(after.Message().find(expected[misdeed - 6]), std::string::npos);
  }
}

TEST(UntrustedWorkerTest, WorkerThatCannotStartLeavesNothingBehind) {
  CTempFolder folder;
  const std::string quitter = folder.Write("quitter", "#!/bin/sh\nexit 7\n");
  ASSERT_EQ(::chmod(quitter.c_str(), 0700), 0);
  Session quits;
  EXPECT_EQ(quits.Start(RogueOptions(quitter)).Message(),
            "worker exited with code 7 before answering SetServiceParent");
  EXPECT_TRUE(IsReaped(quits.WorkerPid()));
  EXPECT_FALSE(AnyObjectLeft(quits));

  Session missing;
  Status started = missing.Start(RogueOptions(folder / "missing"));
  EXPECT_EQ(started.Kind(), ErrorKind::kSystem);
  EXPECT_NE(started.Message().find("No such file"), std::string::npos) << started.Message();
  EXPECT_FALSE(AnyObjectLeft(missing));
}

}  // namespace
}  // namespace tessel
