#include "foundation/process_memory.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

namespace tessel {

namespace {

// One "Name:   1234 kB" line of the status file, in bytes; false when absent or malformed.
bool FindKibField(std::string_view status, std::string_view name, uint64_t& bytes) {
  size_t at = 0;
  while (at < status.size()) {
    size_t end = status.find('\n', at);
    if (end == std::string_view::npos) end = status.size();
    std::string_view line = status.substr(at, end - at);
    at = end + 1;
    if (line.size() <= name.size() || line.substr(0, name.size()) != name ||
        line[name.size()] != ':') {
      continue;
    }
    line.remove_prefix(name.size() + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    uint64_t kib = 0;
    size_t digits = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
      if (__builtin_mul_overflow(kib, uint64_t{10}, &kib) ||
          __builtin_add_overflow(kib, static_cast<uint64_t>(line[digits] - '0'), &kib)) {
        return false;
      }
      ++digits;
    }
    if (digits == 0) return false;
    return !__builtin_mul_overflow(kib, uint64_t{1024}, &bytes);
  }
  return false;
}

}  // namespace

CProcessMemoryApi::CProcessMemoryApi(const char* statusPath)
    : status_(::open(statusPath, O_RDONLY | O_CLOEXEC)) {}

bool QueryProcessMemory(const CProcessMemoryApi& api, ProcessMemoryCounters& counters) {
  char buffer[8192];
  size_t filled = 0;
  bool read = api.Resolved();
  // The status file is generated on each read from offset 0; pread keeps the shared descriptor
  // free of a file position.
  while (read && filled < sizeof(buffer)) {
    ssize_t n = ::pread(api.StatusFd(), buffer + filled, sizeof(buffer) - filled,
                        static_cast<off_t>(filled));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read = false;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  std::string_view status(buffer, read ? filled : 0);
  uint64_t resident = 0, peakResident = 0, virtualSize = 0, peakVirtual = 0;
  struct rusage usage;
  if (!read || !FindKibField(status, "VmRSS", resident) ||
      !FindKibField(status, "VmHWM", peakResident) ||
      !FindKibField(status, "VmSize", virtualSize) ||
      !FindKibField(status, "VmPeak", peakVirtual) || ::getrusage(RUSAGE_SELF, &usage) != 0) {
    counters.pageFileUsage = 0;
    counters.workingSetSize = 0;
    counters.peakPageFileUsage = 0;
    counters.peakWorkingSetSize = 0;
    counters.pageFaultCount = 0;
    return false;
  }
  counters.pageFileUsage = virtualSize;
  counters.workingSetSize = resident;
  counters.peakPageFileUsage = peakVirtual;
  counters.peakWorkingSetSize = peakResident;
  counters.pageFaultCount =
      static_cast<uint64_t>(usage.ru_minflt) + static_cast<uint64_t>(usage.ru_majflt);
  // Older kernels have no RssAnon line; private usage then keeps its previous figure.
  uint64_t anonymous = 0, swapped = 0;
  if (FindKibField(status, "RssAnon", anonymous)) {
    FindKibField(status, "VmSwap", swapped);
    if (__builtin_add_overflow(anonymous, swapped, &counters.privateUsage))
      counters.privateUsage = UINT64_MAX;
  }
  counters.valid = true;
  return true;
}

}  // namespace tessel
