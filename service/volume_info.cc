#include "service/volume_info.h"

#include "logging/logger.h"

namespace tessel {

namespace {

CVolumeInfoService g_volumeInfo __attribute__((init_priority(103)));

}  // namespace

CVolumeInfoService::CVolumeInfoService() {
  if (!library_.Load("libc.so.6")) {
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot load libc.so.6");
    return;
  }
  fstatfs_ = library_.FunctionSymbol<FstatfsFunction>("fstatfs");
  if (fstatfs_ == nullptr)
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot get fstatfs");
  readlinkat_ = library_.FunctionSymbol<ReadlinkatFunction>("readlinkat");
  if (readlinkat_ == nullptr) {
    CLogger::Instance().Log(Error, "Volume Info Service. Cannot get readlinkat");
  }
}

CVolumeInfoService& CVolumeInfoService::Instance() {
  return g_volumeInfo;
}

}  // namespace tessel
