#pragma once

#include <sys/statfs.h>
#include <sys/types.h>

#include "platform/dynamic_library.h"

namespace tessel {

// The file-system queries that stand in for volume information and the final path of an open
// file, bound by name from the C library when the process starts. One per process; an entry
// that could not be bound stays null and its users go without.
class CVolumeInfoService {
 public:
  using FstatfsFunction = int (*)(int, struct statfs*);
  using ReadlinkatFunction = ssize_t (*)(int, const char*, char*, size_t);

  CVolumeInfoService();
  CVolumeInfoService(const CVolumeInfoService&) = delete;
  CVolumeInfoService& operator=(const CVolumeInfoService&) = delete;

  // The process's service, set up during static initialisation right after the logger.
  static CVolumeInfoService& Instance();

  bool Loaded() const { return library_.IsLoaded(); }
  FstatfsFunction Fstatfs() const { return fstatfs_; }
  ReadlinkatFunction Readlinkat() const { return readlinkat_; }

 private:
  CDynamicLibraryHandle library_;
  FstatfsFunction fstatfs_ = nullptr;
  ReadlinkatFunction readlinkat_ = nullptr;
};

}  // namespace tessel
