#include <gtest/gtest.h>
#include <linux/capability.h>

#include "platform/capabilities.h"
#include "privileges/privileges.h"
#include "privileges/token_report.h"
#include "service/entry_point.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_folder.h"

namespace tessel {
namespace {

TEST(StartupTest, CommandLineBecomesTheTrimmedSessionId) {
  const char* joined[] = {"Tessel", "", "a", "b\t", " "};
  EXPECT_EQ(SessionIdFromCommandLine(5, joined), "a b");
  EXPECT_EQ(SessionIdFromCommandLine(1, joined), "");
  const char* blank[] = {"Tessel", " \t\n\v\f\r"};
  EXPECT_EQ(SessionIdFromCommandLine(2, blank), "");
}

// In a child, whose capabilities the test changes for good.
TEST(StartupTest, PrivilegeOutcomeIsKeptFromTheFirstAttempt) {
  if ((PermittedCapabilities() >> CAP_IPC_LOCK & 1) == 0) GTEST_SKIP() << "needs CAP_IPC_LOCK";
  test::RunInChild([] {
    // Once enabled, the outcome stands, in any letter case, after the capability has gone.
    EXPECT_TRUE(EnablePrivilegeOnce("SeLockMemoryPrivilege"));
    ASSERT_TRUE(DropCapability(CAP_IPC_LOCK));
    EXPECT_FALSE(EnablePrivilege("SeLockMemoryPrivilege"));
    EXPECT_TRUE(EnablePrivilegeOnce("selockmemoryPRIVILEGE"));
    EXPECT_FALSE(EnablePrivilegeOnce("SeNoSuchPrivilege"));
  });
}

TEST(StartupTest, TokenReportReadsConfinementAndNamesCapabilities) {
  CTempFolder folder;
  ProcessConfinement confinement;
  const std::string confined =
      folder.Write("confined", "NoNewPrivs:\t1\nSeccomp:\t2\nSeccomp_filters:\t1\n");
  ASSERT_TRUE(ReadProcessConfinement(confinement, confined.c_str()));
  EXPECT_EQ(MandatoryLevelOf(confinement, ~uint64_t{0}), kLevelLow);
  const std::string strict = folder.Write("strict", "NoNewPrivs:\t1\nSeccomp:\t1\n");
  ASSERT_TRUE(ReadProcessConfinement(confinement, strict.c_str()));
  EXPECT_EQ(MandatoryLevelOf(confinement, 1), kLevelHigh);
  EXPECT_EQ(MandatoryLevelOf(confinement, 0), kLevelMedium);
  const std::string partial = folder.Write("partial", "Seccomp_filters:\t1\nNoNewPrivs:\t1\n");
  EXPECT_EQ(GetMandatoryLevel(partial.c_str()), kLevelUnknown);
  EXPECT_STREQ(MandatoryLevelName(kLevelUnknown), "Error");
  EXPECT_STREQ(MandatoryLevelName(0x1500), "Unknown");
  const uint64_t permitted = 1 | uint64_t{1} << CAP_SYS_ADMIN | uint64_t{1} << 40 | 1ull << 63;
  EXPECT_EQ(JoinNames(ListCapabilityNames(permitted)),
            "CAP_CHOWN, CAP_SYS_ADMIN, CAP_CHECKPOINT_RESTORE, Unknown");
}

}  // namespace
}  // namespace tessel
