#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "logging/logger.h"

namespace tessel {

// A file system implementation. Paths are UTF-8.
class IFileSystem {
 public:
  virtual bool HandlesPath(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Exists and is not a folder.
  virtual bool FileExists(const std::string& path) = 0;
  virtual uint64_t FileSize(const std::string& path, uint64_t defaultSize) = 0;
  virtual std::string GetName() = 0;
  virtual uint32_t GetIoAlignment(const std::string& path) = 0;
  // In 100-ns units since 1601-01-01 UTC; 0 when the file is not found.
  virtual uint64_t LastWriteTime(const std::string& path) = 0;

 protected:
  ~IFileSystem() = default;
};

// The process-wide registry of file systems, with the default one registered at start-up.
class CFileSystemService {
 public:
  class CFileSystem final : public IFileSystem {
   public:
    explicit CFileSystem(CLogger& logger) : logger_(logger) {}
    bool HandlesPath(const std::string&) override { return true; }
    bool RemoveFile(const std::string& path) override;
    bool FileExists(const std::string& path) override;
    uint64_t FileSize(const std::string& path, uint64_t defaultSize) override;
    std::string GetName() override { return "Default"; }
    uint32_t GetIoAlignment(const std::string& path) override;
    uint64_t LastWriteTime(const std::string& path) override;

   private:
    CLogger& logger_;
  };

  explicit CFileSystemService(CLogger& logger = CLogger::Instance());
  // The file systems are not owned: the list is only emptied.
  ~CFileSystemService();
  CFileSystemService(const CFileSystemService&) = delete;
  CFileSystemService& operator=(const CFileSystemService&) = delete;

  void Register(IFileSystem& fileSystem);
  std::vector<IFileSystem*> FileSystems() const;
  CFileSystem& Default() { return default_; }

 private:
  CLogger& logger_;
  mutable std::mutex lock_;
  std::vector<IFileSystem*> fileSystems_;
  CFileSystem default_;
};

// The instance built during static initialisation. The worker's entry point refers to it so
// that the linker keeps it (and its start-up) in the program.
CFileSystemService& FileSystemService();

// The I/O alignment for a device's sector size: sizes of 512 and more as they are, 0 as 0,
// smaller ones raised to their least common multiple with 4096.
uint32_t IoAlignmentForSectorSize(uint32_t sectorSize);

}  // namespace tessel
