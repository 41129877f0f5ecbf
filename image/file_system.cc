#include "image/file_system.h"

#include <sys/stat.h>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "foundation/path.h"

namespace tessel {
namespace {

constexpr size_t kPathLimit = 260;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDifference = 11644473600ull;

CFileSystemService g_fileSystemService __attribute__((init_priority(105)));

bool StatFile(const std::string& path, struct stat& info) {
  const std::string longPath = ToLongPath(path, kPathLimit);
  return ::stat(longPath.c_str(), &info) == 0;
}

}  // namespace

CFileSystemService& FileSystemService() {
  return g_fileSystemService;
}

uint32_t IoAlignmentForSectorSize(uint32_t sectorSize) {
  if (sectorSize >= 512 || sectorSize == 0) return sectorSize;
  return static_cast<uint32_t>(uint64_t{sectorSize} * 4096 / GcdWith4096(sectorSize));
}

bool CFileSystemService::CFileSystem::RemoveFile(const std::string& path) {
  if (DeleteFileForced(ToLongPath(path, kPathLimit))) return true;
  const std::string reason = DescribeLastError();
  logger_.Log(ErrorDebug, "Can't remove file %s, error %s",
              {LogArg::String(path.c_str()), LogArg::String(reason.c_str())});
  return false;
}

bool CFileSystemService::CFileSystem::FileExists(const std::string& path) {
  return tessel::FileExists(ToLongPath(path, kPathLimit));
}

uint64_t CFileSystemService::CFileSystem::FileSize(const std::string& path, uint64_t defaultSize) {
  struct stat info;
  if (!StatFile(path, info) || info.st_size < 0) return defaultSize;
  return static_cast<uint64_t>(info.st_size);
}

uint32_t CFileSystemService::CFileSystem::GetIoAlignment(const std::string& path) {
  // A network path: no device to ask, and asking could block on the network.
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return 4096;
  return IoAlignmentForSectorSize(GetSectorSize(ToLongPath(path, kPathLimit)));
}

uint64_t CFileSystemService::CFileSystem::LastWriteTime(const std::string& path) {
  struct stat info;
  if (!StatFile(path, info) || info.st_mtim.tv_sec < -static_cast<int64_t>(kEpochDifference)) {
    return 0;
  }
  const auto seconds = static_cast<uint64_t>(info.st_mtim.tv_sec + kEpochDifference);
  return seconds * 10000000 + static_cast<uint64_t>(info.st_mtim.tv_nsec) / 100;
}

CFileSystemService::CFileSystemService(CLogger& logger) : logger_(logger), default_(logger) {
  logger_.Log(Debug, "Create File System Service");
  Register(default_);
}

CFileSystemService::~CFileSystemService() {
  std::lock_guard<std::mutex> guard(lock_);
  fileSystems_.clear();
}

void CFileSystemService::Register(IFileSystem& fileSystem) {
  const std::string name = fileSystem.GetName();
  logger_.Log(Debug, "Register file system %s", {LogArg::String(name.c_str())});
  std::lock_guard<std::mutex> guard(lock_);
  fileSystems_.push_back(&fileSystem);
  logger_.Log(Debug, "Registered file system %s", {LogArg::String(name.c_str())});
}

std::vector<IFileSystem*> CFileSystemService::FileSystems() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fileSystems_;
}

}  // namespace tessel
