#include "privileges/token_report.h"

#include <fcntl.h>

#include <cstdlib>
#include <iterator>
#include <string_view>

#include "foundation/files.h"
#include "platform/capabilities.h"
#include "platform/unique_fd.h"

namespace tessel {
namespace {

constexpr const char* kCapabilityNames[] = {
    "CAP_CHOWN",
    "CAP_DAC_OVERRIDE",
    "CAP_DAC_READ_SEARCH",
    "CAP_FOWNER",
    "CAP_FSETID",
    "CAP_KILL",
    "CAP_SETGID",
    "CAP_SETUID",
    "CAP_SETPCAP",
    "CAP_LINUX_IMMUTABLE",
    "CAP_NET_BIND_SERVICE",
    "CAP_NET_BROADCAST",
    "CAP_NET_ADMIN",
    "CAP_NET_RAW",
    "CAP_IPC_LOCK",
    "CAP_IPC_OWNER",
    "CAP_SYS_MODULE",
    "CAP_SYS_RAWIO",
    "CAP_SYS_CHROOT",
    "CAP_SYS_PTRACE",
    "CAP_SYS_PACCT",
    "CAP_SYS_ADMIN",
    "CAP_SYS_BOOT",
    "CAP_SYS_NICE",
    "CAP_SYS_RESOURCE",
    "CAP_SYS_TIME",
    "CAP_SYS_TTY_CONFIG",
    "CAP_MKNOD",
    "CAP_LEASE",
    "CAP_AUDIT_WRITE",
    "CAP_AUDIT_CONTROL",
    "CAP_SETFCAP",
    "CAP_MAC_OVERRIDE",
    "CAP_MAC_ADMIN",
    "CAP_SYSLOG",
    "CAP_WAKE_ALARM",
    "CAP_BLOCK_SUSPEND",
    "CAP_AUDIT_READ",
    "CAP_PERFMON",
    "CAP_BPF",
    "CAP_CHECKPOINT_RESTORE",
};

// The value of a "Name:\t<number>" line; false when the line is missing.
bool StatusField(const std::string& status, std::string_view name, long& value) {
  std::string key(1, '\n');
  key.append(name).append(1, ':');
  size_t at;
  if (status.compare(0, key.size() - 1, key, 1) == 0) {
    at = key.size() - 1;
  } else {
    at = status.find(key);
    if (at == std::string::npos) return false;
    at += key.size();
  }
  value = std::strtol(status.c_str() + at, nullptr, 10);
  return true;
}

}  // namespace

bool ReadProcessConfinement(ProcessConfinement& confinement, const char* statusPath) {
  // Plain reads: the first stream a process opens sets up the C++ locale, which costs a start
  // more than the read itself.
  CUniqueFd file(::open(statusPath, O_RDONLY | O_CLOEXEC));
  if (!file) return false;
  std::string status;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ReadRetrying(file.Get(), buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) break;
    status.append(buffer, static_cast<size_t>(n));
  }
  long noNewPrivileges = 0;
  long seccomp = 0;
  if (!StatusField(status, "NoNewPrivs", noNewPrivileges) ||
      !StatusField(status, "Seccomp", seccomp))
    return false;
  confinement.noNewPrivileges = noNewPrivileges == 1;
  confinement.seccompFilter = seccomp == 2;
  return true;
}

uint32_t MandatoryLevelOf(const ProcessConfinement& confinement, uint64_t permitted) {
  if (confinement.noNewPrivileges && confinement.seccompFilter) return kLevelLow;
  return permitted != 0 ? kLevelHigh : kLevelMedium;
}

uint32_t GetMandatoryLevel(const char* statusPath) {
  ProcessConfinement confinement;
  if (!ReadProcessConfinement(confinement, statusPath)) return kLevelUnknown;
  return MandatoryLevelOf(confinement, PermittedCapabilities());
}

const char* MandatoryLevelName(uint32_t level) {
  switch (level) {
    case 0:
      return "Error";
    case 0xFFFFFFFFu:
      return "Token is NULL";
    case 0x1000:
      return "Low";
    case 0x2000:
      return "Medium";
    case 0x2100:
      return "Medium Plus";
    case 0x3000:
      return "High";
    case 0x4000:
      return "System";
    case 0x5000:
      return "Protected process";
    default:
      return "Unknown";
  }
}

std::vector<std::string> ListCapabilityNames(uint64_t permitted) {
  std::vector<std::string> names;
  for (unsigned bit = 0; bit < 64; ++bit) {
    if ((permitted >> bit & 1) == 0) continue;
    names.emplace_back(bit < std::size(kCapabilityNames) ? kCapabilityNames[bit] : "Unknown");
  }
  return names;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i != 0) text.append(", ");
    text.append(names[i]);
  }
  return text;
}

}  // namespace tessel
