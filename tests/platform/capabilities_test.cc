#include "platform/capabilities.h"

#include <linux/capability.h>

#include <fstream>

#include "tests/platform/child_process.h"

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
  EXPECT_EQ(test::ExitCode(test::Fork([] {
              if (Has("CapPrm", CAP_IPC_LOCK)) {
                if (!LowerCapability(CAP_IPC_LOCK) || Has("CapEff", CAP_IPC_LOCK)) return 1;
                if (!Has("CapPrm", CAP_IPC_LOCK)) return 2;
                if (!RaiseCapability(CAP_IPC_LOCK) || !Has("CapEff", CAP_IPC_LOCK)) return 3;
                if (!DropCapability(CAP_IPC_LOCK) || Has("CapPrm", CAP_IPC_LOCK)) return 4;
              }
              // CAP_BPF (39) lives in the second 32-bit word of each set.
              const uint64_t before = Mask("CapPrm");
              if (Has("CapPrm", CAP_BPF) &&
                  (!DropCapability(CAP_BPF) || Mask("CapPrm") != (before & ~(1ull << CAP_BPF))))
                return 5;
              errno = 0;
              if (RaiseCapability(CAP_IPC_LOCK) || errno != EPERM) return 6;
              return Has("CapEff", CAP_IPC_LOCK) ? 7 : 0;
            })),
            0);
}

}  // namespace tessel
