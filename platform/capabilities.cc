#include "platform/capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tessel {

namespace {

// The raw system calls keep the worker free of libcap. Version 3 carries 64 capabilities in two
// 32-bit words per set.
struct CapabilityState {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
};

bool Read(CapabilityState& state) {
  return ::syscall(SYS_capget, &state.header, state.data) == 0;
}

bool Write(CapabilityState& state) {
  return ::syscall(SYS_capset, &state.header, state.data) == 0;
}

bool ValidCapability(int capability) {
  if (capability < 0 || capability >= 32 * _LINUX_CAPABILITY_U32S_3) {
    errno = EINVAL;
    return false;
  }
  return true;
}

}  // namespace

bool RaiseCapability(int capability) {
  if (!ValidCapability(capability)) return false;
  CapabilityState state;
  if (!Read(state)) return false;
  uint32_t bit = 1u << (capability % 32);
  auto& word = state.data[capability / 32];
  if ((word.permitted & bit) == 0) {
    errno = EPERM;
    return false;
  }
  if ((word.effective & bit) != 0) return true;
  word.effective |= bit;
  return Write(state);
}

uint64_t PermittedCapabilities() {
  CapabilityState state;
  if (!Read(state)) return 0;
  return static_cast<uint64_t>(state.data[0].permitted) |
         (static_cast<uint64_t>(state.data[1].permitted) << 32);
}

uint64_t EffectiveCapabilities() {
  CapabilityState state;
  if (!Read(state)) return 0;
  return static_cast<uint64_t>(state.data[0].effective) |
         (static_cast<uint64_t>(state.data[1].effective) << 32);
}

bool LowerCapability(int capability) {
  if (!ValidCapability(capability)) return false;
  CapabilityState state;
  if (!Read(state)) return false;
  state.data[capability / 32].effective &= ~(1u << (capability % 32));
  return Write(state);
}

bool DropCapability(int capability) {
  if (!ValidCapability(capability)) return false;
  CapabilityState state;
  if (!Read(state)) return false;
  uint32_t bit = ~(1u << (capability % 32));
  auto& word = state.data[capability / 32];
  word.effective &= bit;
  word.permitted &= bit;
  word.inheritable &= bit;
  return Write(state);
}

}  // namespace tessel
