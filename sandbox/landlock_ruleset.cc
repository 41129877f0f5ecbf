#include "sandbox/landlock_ruleset.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

namespace tessel {
namespace {

// Debian 12's kernel headers stop at ABI 2; the values of later ABIs are fixed by the kernel.
constexpr uint64_t kFsExecute = 1ull << 0;
constexpr uint64_t kFsWriteFile = 1ull << 1;
constexpr uint64_t kFsReadFile = 1ull << 2;
constexpr uint64_t kFsReadDir = 1ull << 3;
constexpr uint64_t kFsRemoveDir = 1ull << 4;
constexpr uint64_t kFsRemoveFile = 1ull << 5;
constexpr uint64_t kFsMakeDir = 1ull << 7;
constexpr uint64_t kFsMakeReg = 1ull << 8;
constexpr uint64_t kFsAbi1 = (1ull << 13) - 1;      // execute .. make_sym
constexpr uint64_t kFsRefer = 1ull << 13;           // ABI 2
constexpr uint64_t kFsTruncate = 1ull << 14;        // ABI 3
constexpr uint64_t kFsIoctlDev = 1ull << 15;        // ABI 5
constexpr uint64_t kNetBindTcp = 1ull << 0;         // ABI 4
constexpr uint64_t kNetConnectTcp = 1ull << 1;      // ABI 4
constexpr uint64_t kScopeAbstractUnix = 1ull << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1ull << 1;        // ABI 6
// Rights that a rule on a single file may carry.
constexpr uint64_t kFileRights =
    kFsExecute | kFsWriteFile | kFsReadFile | kFsTruncate | kFsIoctlDev;

// The ruleset attribute grew with the ABI; an older kernel refuses the larger form.
struct RulesetAttr {
  uint64_t handledAccessFs;
  uint64_t handledAccessNet;
  uint64_t scoped;
};

struct __attribute__((packed)) PathBeneathAttr {
  uint64_t allowedAccess;
  int32_t parentFd;
};

constexpr unsigned kCreateRulesetVersion = 1u << 0;
constexpr int kRulePathBeneath = 1;

uint64_t HandledFs(int abi) {
  uint64_t rights = kFsAbi1;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

}  // namespace

int CLandlockRuleset::KernelAbi(int* error) {
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
  if (abi < 0) {
    if (error != nullptr) *error = errno;
    return 0;
  }
  return static_cast<int>(abi);
}

bool CLandlockRuleset::Create(int abi) {
  if (abi <= 0) {
    errno = EOPNOTSUPP;
    return false;
  }
  RulesetAttr attr{};
  attr.handledAccessFs = HandledFs(abi);
  size_t size = sizeof attr.handledAccessFs;
  if (abi >= 4) {
    attr.handledAccessNet = kNetBindTcp | kNetConnectTcp;
    size = offsetof(RulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnix | kScopeSignal;
    size = sizeof attr;
  }
  const long fd = ::syscall(SYS_landlock_create_ruleset, &attr, size, 0u);
  if (fd < 0) return false;
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  fd_.Reset(static_cast<int>(fd));
  abi_ = abi;
  handledFs_ = attr.handledAccessFs;
  return true;
}

uint64_t CLandlockRuleset::Rights(PathAccess access, bool isFolder) const {
  uint64_t rights = 0;
  switch (access) {
    case PathAccess::kExecute:
      rights = kFsExecute | kFsReadFile;
      break;
    case PathAccess::kRead:
      rights = kFsReadFile | kFsReadDir;
      break;
    case PathAccess::kPrivate:
      rights = kFsReadFile | kFsReadDir | kFsWriteFile | kFsRemoveDir | kFsRemoveFile | kFsMakeDir |
               kFsMakeReg | kFsTruncate;
      break;
    case PathAccess::kAppend:
      rights = kFsReadFile | kFsReadDir | kFsWriteFile | kFsMakeReg;
      break;
    case PathAccess::kReadWrite:
      rights = kFsReadFile | kFsWriteFile;
      break;
  }
  if (!isFolder) rights &= kFileRights;
  return rights & handledFs_;
}

bool CLandlockRuleset::Allow(const std::string& path, PathAccess access) {
  CUniqueFd opened(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!opened) return false;
  struct stat info;
  if (::fstat(opened.Get(), &info) != 0) return false;
  return AllowFd(opened.Get(), S_ISDIR(info.st_mode), access);
}

bool CLandlockRuleset::AllowFd(int pathFd, bool isFolder, PathAccess access) const {
  PathBeneathAttr rule{};
  rule.allowedAccess = Rights(access, isFolder);
  rule.parentFd = pathFd;
  if (rule.allowedAccess == 0) return true;
  return ::syscall(SYS_landlock_add_rule, fd_.Get(), kRulePathBeneath, &rule, 0u) == 0;
}

bool CLandlockRuleset::RestrictSelf() const {
  return ::syscall(SYS_landlock_restrict_self, fd_.Get(), 0u) == 0;
}

std::vector<std::string> CLandlockRuleset::MissingProtections() const {
  std::vector<std::string> missing;
  if (abi_ < 3) missing.emplace_back("truncating files (seccomp refuses it instead)");
  if (abi_ < 4) missing.emplace_back("TCP bind and connect (seccomp refuses every socket instead)");
  if (abi_ < 5)
    missing.emplace_back("device ioctls (seccomp allows only terminal queries instead)");
  if (abi_ < 6) {
    missing.emplace_back(
        "signals and abstract sockets leaving the worker (seccomp refuses both instead)");
  }
  return missing;
}

}  // namespace tessel
