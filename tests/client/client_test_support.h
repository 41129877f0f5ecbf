#pragma once

#include <sys/wait.h>

#include <cerrno>

#include "channel/control_block.h"
#include "client/session.h"
#include "platform/shared_memory_region.h"

namespace tessel {

// True when none of the session's four names exists any more.
inline bool AnyObjectLeft(const Session& session) {
  for (const char* suffix :
       {kServerEventSuffix, kClientEventSuffix, kMainMappingSuffix, kExtendedRegionSuffix}) {
    if (CSharedMemoryRegion::ExistsReadOnly(session.ObjectName(suffix))) return true;
  }
  return false;
}

// True when `pid` is no child of ours any more: reaped, not a zombie.
inline bool IsReaped(pid_t pid) {
  return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

}  // namespace tessel
