#include "foundation/volume_info.h"

#include <dlfcn.h>

#include "logging/logger.h"

namespace tessel {

namespace {

CVolumeInfoService g_volumeInfo __attribute__((init_priority(103)));

}  // namespace

CVolumeInfoService::CVolumeInfoService() {
  library_ = ::dlopen("libc.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot load libc.so.6");
    return;
  }
  fstatfs_ = reinterpret_cast<FstatfsFunction>(::dlsym(library_, "fstatfs"));
  if (fstatfs_ == nullptr)
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot get fstatfs");
  readlinkat_ = reinterpret_cast<ReadlinkatFunction>(::dlsym(library_, "readlinkat"));
  if (readlinkat_ == nullptr) {
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot get readlinkat");
  }
}

CVolumeInfoService::~CVolumeInfoService() {
  if (library_ != nullptr) ::dlclose(library_);
}

CVolumeInfoService& CVolumeInfoService::Instance() {
  return g_volumeInfo;
}

}  // namespace tessel
