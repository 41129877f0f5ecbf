#include "platform/capabilities.h"

#include <gtest/gtest.h>
#include <linux/capability.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace tessel {
namespace {

uint64_t StatusMask(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  return ~0ull;
}

bool Has(uint64_t mask, int capability) {
  return ((mask >> capability) & 1) != 0;
}

TEST(Capabilities, SetsMatchWhatTheKernelReports) {
  EXPECT_EQ(PermittedCapabilities(), StatusMask("CapPrm"));
  EXPECT_EQ(EffectiveCapabilities(), StatusMask("CapEff"));
  errno = 0;
  EXPECT_FALSE(RaiseCapability(64));
  EXPECT_EQ(errno, EINVAL);
}

#define CHILD_CHECK(condition) \
  if (!(condition)) failures += std::string("failed: ") + #condition + "\n"

// Capability changes stay in a child process.
TEST(CapabilitiesDeathTest, RaiseSucceedsOnlyWhilePermitted) {
  EXPECT_EXIT(
      {
        std::string failures;
        if (Has(PermittedCapabilities(), CAP_IPC_LOCK)) {
          CHILD_CHECK(LowerCapability(CAP_IPC_LOCK));
          CHILD_CHECK(!Has(StatusMask("CapEff"), CAP_IPC_LOCK));
          CHILD_CHECK(Has(StatusMask("CapPrm"), CAP_IPC_LOCK));
          CHILD_CHECK(RaiseCapability(CAP_IPC_LOCK));
          CHILD_CHECK(Has(StatusMask("CapEff"), CAP_IPC_LOCK));
          CHILD_CHECK(RaiseCapability(CAP_IPC_LOCK));
          CHILD_CHECK(DropCapability(CAP_IPC_LOCK));
          CHILD_CHECK(!Has(StatusMask("CapPrm"), CAP_IPC_LOCK));
        }
        // CAP_BPF (39) lives in the second 32-bit word of each set.
        if (Has(PermittedCapabilities(), CAP_BPF)) {
          uint64_t before = StatusMask("CapPrm");
          CHILD_CHECK(DropCapability(CAP_BPF));
          CHILD_CHECK(StatusMask("CapPrm") == (before & ~(1ull << CAP_BPF)));
        }
        errno = 0;
        CHILD_CHECK(!RaiseCapability(CAP_IPC_LOCK));
        CHILD_CHECK(errno == EPERM);
        CHILD_CHECK(!Has(StatusMask("CapEff"), CAP_IPC_LOCK));
        std::fputs(failures.c_str(), stderr);
        std::_Exit(failures.empty() ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tessel
