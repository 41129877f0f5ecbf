#include "foundation/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tessel {

namespace {

bool StatPath(const std::string& path, struct stat& info) {
  return ::stat(path.c_str(), &info) == 0;
}

// The folder that holds `path` on this system, where only '/' separates.
std::string ContainingFolder(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

// A small decimal number from a sysfs file; 0 when it cannot be read.
uint64_t ReadSysfsNumber(const std::string& path) {
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  char text[32];
  ssize_t n = ReadRetrying(fd.Get(), text, sizeof(text) - 1);
  if (n <= 0) return 0;
  uint64_t value = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > 100000000) return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

}  // namespace

bool FolderExists(std::string_view path) {
  struct stat info;
  return !path.empty() && StatPath(std::string(path), info) && S_ISDIR(info.st_mode);
}

bool FileExists(std::string_view path) {
  struct stat info;
  return !path.empty() && StatPath(std::string(path), info) && !S_ISDIR(info.st_mode);
}

bool CreateFolderPath(std::string_view path) {
  // Only '/' separates here: the kernel takes a backslash as part of a name, and a server
  // prefix has no meaning on this system.
  std::string whole(path);
  while (whole.size() > 1 && whole.back() == '/') whole.pop_back();
  if (FolderExists(whole)) return true;
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    std::string folder(path.substr(0, i));
    if (FolderExists(folder)) continue;
    // Another process may create the same folder between the test and the creation.
    if (::mkdir(folder.c_str(), 0777) != 0 && !(errno == EEXIST && FolderExists(folder))) {
      return false;
    }
  }
  return true;
}

bool DeleteFileForced(std::string_view path) {
  std::string file(path);
  if (::unlink(file.c_str()) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return true;
  if (errno != EACCES && errno != EPERM) return false;
  // Deleting a name is permitted by the folder's mode, not the file's: widen the folder's.
  std::string folder = ContainingFolder(file);
  struct stat info;
  if (!StatPath(folder, info)) return false;
  if (::chmod(folder.c_str(), (info.st_mode & 07777) | S_IWUSR) != 0) return false;
  return ::unlink(file.c_str()) == 0;
}

ssize_t ReadRetrying(int fd, void* buffer, size_t count) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0 || errno != EINTR) return n;
  }
}

uint32_t GetSectorSize(std::string_view path) {
  constexpr uint32_t kUnknown = 512;
  std::string probe = path.empty() ? std::string(".") : std::string(path);
  struct stat info;
  // A path that does not exist yet lives on the device of its nearest existing folder.
  while (!StatPath(probe, info)) {
    std::string parent = ContainingFolder(probe);
    if (parent == probe) return kUnknown;
    probe = std::move(parent);
  }
  std::string device = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                       std::to_string(minor(info.st_dev));
  // A partition has no queue of its own; its disk, one level up, has.
  uint64_t size = ReadSysfsNumber(device + "/queue/logical_block_size");
  if (size == 0) size = ReadSysfsNumber(device + "/../queue/logical_block_size");
  if (size < 512 || size > 65536 || (size & (size - 1)) != 0) return kUnknown;
  return static_cast<uint32_t>(size);
}

}  // namespace tessel
