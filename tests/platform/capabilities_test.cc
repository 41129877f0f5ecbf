#include "platform/capabilities.h"

#include <linux/capability.h>

#include <fstream>

#include "tests/platform/shared_objects.h"

namespace tessel {

static uint64_t Mask(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(field + ":"))
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  return ~0ull;
}

static auto Has = [](const char* field, int capability) { return (Mask(field) >> capability) & 1; };

TEST(Capabilities, SetsMatchTheKernelAndChangesStayInAChild) {
  EXPECT_EQ(PermittedCapabilities(), Mask("CapPrm"));
  EXPECT_EQ(EffectiveCapabilities(), Mask("CapEff"));
  errno = 0;
  EXPECT_FALSE(RaiseCapability(64));
  EXPECT_EQ(errno, EINVAL);
  test::RunInChild([] {
    if (Has("CapPrm", CAP_IPC_LOCK)) {
      EXPECT_TRUE(LowerCapability(CAP_IPC_LOCK));
      EXPECT_FALSE(Has("CapEff", CAP_IPC_LOCK));
      EXPECT_TRUE(Has("CapPrm", CAP_IPC_LOCK));
      EXPECT_TRUE(RaiseCapability(CAP_IPC_LOCK));
      EXPECT_TRUE(Has("CapEff", CAP_IPC_LOCK));
      EXPECT_TRUE(DropCapability(CAP_IPC_LOCK));
      EXPECT_FALSE(Has("CapPrm", CAP_IPC_LOCK));
    }
    // CAP_BPF (39) lives in the second 32-bit word of each set.
    const uint64_t before = Mask("CapPrm");
    if (Has("CapPrm", CAP_BPF)) {
      EXPECT_TRUE(DropCapability(CAP_BPF));
      EXPECT_EQ(Mask("CapPrm"), before & ~(1ull << CAP_BPF));
    }
    errno = 0;
    EXPECT_FALSE(RaiseCapability(CAP_IPC_LOCK));
    EXPECT_EQ(errno, EPERM);
    EXPECT_FALSE(Has("CapEff", CAP_IPC_LOCK));
  });
}

}  // namespace tessel
