#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the worker's own process may do, in the terms of the worker's log: the mandatory level
// stands for how confined the process is, the privileges are its permitted capabilities.
namespace tessel {

inline constexpr uint32_t kLevelUnknown = 0;
inline constexpr uint32_t kLevelLow = 0x1000;
inline constexpr uint32_t kLevelMedium = 0x2000;
inline constexpr uint32_t kLevelHigh = 0x3000;

struct ProcessConfinement {
  bool noNewPrivileges = false;
  bool seccompFilter = false;
};

// Reads the NoNewPrivs and Seccomp fields of a /proc status file. False when the file cannot
// be read or lacks them.
bool ReadProcessConfinement(ProcessConfinement& confinement,
                            const char* statusPath = "/proc/self/status");

// Low for a process that can gain no privileges and runs under a seccomp filter, else High when
// any capability is permitted, else Medium.
uint32_t MandatoryLevelOf(const ProcessConfinement& confinement, uint64_t permitted);

// The level of this process; kLevelUnknown when its confinement cannot be read.
uint32_t GetMandatoryLevel(const char* statusPath = "/proc/self/status");

const char* MandatoryLevelName(uint32_t level);

// The names of the capabilities in `permitted` ("CAP_CHOWN", ...), in number order; a
// capability this build has no name for is "Unknown".
std::vector<std::string> ListCapabilityNames(uint64_t permitted);

// The names joined with ", ".
std::string JoinNames(const std::vector<std::string>& names);

}  // namespace tessel
