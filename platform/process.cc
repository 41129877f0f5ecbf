#include "platform/process.h"

#include <dlfcn.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace tessel {

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(::getpid());
}

int LastError() {
  return errno;
}

void SetLastError(int code) {
  errno = code;
}

std::string ExecutablePath() {
  // readlink does not say whether it truncated, so grow until the answer leaves room.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutableFolder() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

std::string FolderOfLoadedFile(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  // The loader names the main program as it was started (argv[0], maybe relative); libraries
  // by the path it opened them at.
  std::string path = info.dli_fname[0] == '/' ? std::string(info.dli_fname) : ExecutablePath();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(0, slash + 1);
}

std::string TempFolder() {
  const char* dir = ::getenv("TMPDIR");
  std::string folder = (dir != nullptr && *dir != '\0') ? dir : "/tmp/";
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string UserName() {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    int rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr) return std::string();
    return found->pw_name;
  }
}

uint32_t PageSize() {
  long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<uint32_t>(size) : 4096u;
}

uint64_t AddressSpaceLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return limit.rlim_cur;
}

uint64_t TotalPhysicalMemory() {
  struct sysinfo info;
  if (::sysinfo(&info) != 0) return 0;
  uint64_t total = 0;
  uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  if (__builtin_mul_overflow(static_cast<uint64_t>(info.totalram), unit, &total)) return UINT64_MAX;
  return total;
}

}  // namespace tessel
