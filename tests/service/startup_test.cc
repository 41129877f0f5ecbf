#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/capabilities.h"
#include "security/privileges.h"
#include "security/token_report.h"
#include "service/entry_point.h"
#include "tests/foundation/temp_folder.h"

namespace tessel {
namespace {

std::string SessionId(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "Tessel");
  return SessionIdFromCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(StartupTest, CommandLineBecomesTheTrimmedSessionId) {
  EXPECT_EQ(SessionId({"  abc \t"}), "abc");
  EXPECT_EQ(SessionId({}), "");
  EXPECT_EQ(SessionId({" \t\n\v\f\r"}), "");
  EXPECT_EQ(SessionId({"", "a", "b\t", " "}), "a b");
  EXPECT_EQ(SessionId({"x y"}), "x y");
}

// Runs `body` in a child, whose capabilities the test may change for good.
int InChild(void (*body)()) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StartupTest, PrivilegeOutcomeIsKeptFromTheFirstAttempt) {
  if ((PermittedCapabilities() >> CAP_IPC_LOCK & 1) == 0) GTEST_SKIP() << "needs CAP_IPC_LOCK";
  EXPECT_EQ(InChild([] {
              EXPECT_TRUE(EnablePrivilegeOnce("SeLockMemoryPrivilege"));
              ASSERT_TRUE(DropCapability(CAP_IPC_LOCK));
              EXPECT_FALSE(EnablePrivilege("SeLockMemoryPrivilege"));
              EXPECT_TRUE(EnablePrivilegeOnce("selockmemoryPRIVILEGE"));
              EXPECT_FALSE(EnablePrivilegeOnce("SeNoSuchPrivilege"));
            }),
            0);
}

TEST(StartupTest, TokenReportReadsConfinementAndNamesCapabilities) {
  CTempFolder folder;
  ProcessConfinement confinement;
  const std::string confined =
      folder.Write("confined", "Name:\tTessel\nNoNewPrivs:\t1\nSeccomp:\t2\nSeccomp_filters:\t1\n");
  ASSERT_TRUE(ReadProcessConfinement(confinement, confined.c_str()));
  EXPECT_EQ(MandatoryLevelOf(confinement, ~uint64_t{0}), kLevelLow);
  const std::string strict = folder.Write("strict", "NoNewPrivs:\t1\nSeccomp:\t1\n");
  ASSERT_TRUE(ReadProcessConfinement(confinement, strict.c_str()));
  EXPECT_EQ(MandatoryLevelOf(confinement, 1), kLevelHigh);
  EXPECT_EQ(MandatoryLevelOf(confinement, 0), kLevelMedium);
  const std::string partial = folder.Write("partial", "Seccomp_filters:\t1\nNoNewPrivs:\t1\n");
  EXPECT_FALSE(ReadProcessConfinement(confinement, partial.c_str()));
  EXPECT_EQ(GetMandatoryLevel(partial.c_str()), kLevelUnknown);
  EXPECT_STREQ(MandatoryLevelName(kLevelUnknown), "Error");
  EXPECT_STREQ(MandatoryLevelName(0x1500), "Unknown");

  const uint64_t permitted =
      1u | uint64_t{1} << CAP_SYS_ADMIN | uint64_t{1} << 40 | uint64_t{1} << 63;
  EXPECT_EQ(JoinNames(ListCapabilityNames(permitted)),
            "CAP_CHOWN, CAP_SYS_ADMIN, CAP_CHECKPOINT_RESTORE, Unknown");
  EXPECT_EQ(JoinNames(ListCapabilityNames(0)), "");
}

}  // namespace
}  // namespace tessel
