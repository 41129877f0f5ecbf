#pragma once

#include <cstdint>

#include "platform/unique_fd.h"

namespace tessel {

struct ProcessMemoryCounters {
  uint64_t pageFileUsage = 0;
  uint64_t workingSetSize = 0;
  uint64_t peakPageFileUsage = 0;
  uint64_t peakWorkingSetSize = 0;
  uint64_t pageFaultCount = 0;
  uint64_t privateUsage = 0;
  bool valid = false;
};

// The process-memory counters come from /proc/self/status. The file is opened once, when the
// owner is built, so a worker confined later still reads it; when it cannot be opened the API
// counts as not resolved and callers leave their figures alone.
class CProcessMemoryApi {
 public:
  explicit CProcessMemoryApi(const char* statusPath = "/proc/self/status");
  bool Resolved() const { return status_.Valid(); }
  int StatusFd() const { return status_.Get(); }

 private:
  CUniqueFd status_;
};

// Fills the record and returns true when the counters could be read. When the private-usage
// line is missing (older kernels), private usage is left as it was and the rest still counts.
bool QueryProcessMemory(const CProcessMemoryApi& api, ProcessMemoryCounters& counters);

}  // namespace tessel
