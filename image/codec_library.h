#pragma once

#include <cstdint>
#include <string>

#include "codec/tessel_codec.h"
#include "logging/context_log.h"
#include "logging/logger.h"
#include "platform/dynamic_library.h"

namespace tessel {

// The codec library's file name; it lies next to the worker's executable.
inline constexpr const char* kCodecLibraryName = "libTessel.so";

// The codec library with its six entry points. Bound lazily; a failed Bind keeps the module.
class CCodecLibrary {
 public:
  // An empty path means libTessel.so in the executable's folder; a relative path is tried as it
  // is and then in the executable's folder.
  explicit CCodecLibrary(const std::string& path = {}, CLogger& logger = CLogger::Instance());
  ~CCodecLibrary() { Release(); }
  CCodecLibrary(const CCodecLibrary&) = delete;
  CCodecLibrary& operator=(const CCodecLibrary&) = delete;

  // Loads the library ahead of Bind, which then finds it mapped. Reports nothing: whatever fails
  // fails again in Bind, which logs it. May run on another thread while nothing else uses this
  // object, so that the dynamic loader's work overlaps the rest of the worker's start.
  void Preload();
  // Loads the library and resolves every entry point; at the first one missing, logs it and
  // returns false.
  bool Bind();
  void StartSvg(const CContextLog& log);
  // Forgets the entry points before the module goes, so nothing calls into a freed library,
  // then frees the module, when loaded, and empties the path.
  void Release();

  bool Loaded() const { return module_.IsLoaded(); }
  const std::string& Path() const { return path_; }

  bool LoadPng(const void* data, uint32_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize) const {
    return loadPng_(data, length, descriptor, pixels, pixelsSize) != 0;
  }
  bool LoadSvg(const char* utf8Path, ImageDescriptor* descriptor) const {
    return loadSvg_(utf8Path, descriptor) != 0;
  }
  bool LoadSvgFromData(const void* data, uint32_t length, ImageDescriptor* descriptor) const {
    return loadSvgFromData_(data, length, descriptor) != 0;
  }
  void* GetSvgBuffer(uint32_t handle, uint32_t width, uint32_t height,
                     RasterAllocator allocator) const {
    return getSvgBuffer_(handle, width, height, allocator);
  }
  // Safe after Release: an image that outlives the binding frees nothing.
  void FreeSvg(uint32_t handle) const {
    if (freeSvg_ != nullptr) freeSvg_(handle);
  }

 private:
  // Loads the library again, replacing the module held; false when it cannot be loaded.
  bool Load();
  void ClearEntryPoints();

  CDynamicLibraryHandle module_;
  CDynamicLibraryHandle preloaded_;  // a second reference, dropped at Release
  std::string path_;
  CLogger& logger_;

  decltype(&::TesselLoadPNG) loadPng_ = nullptr;
  decltype(&::TesselInitSVG) initSvg_ = nullptr;
  decltype(&::TesselLoadSVG) loadSvg_ = nullptr;
  decltype(&::TesselGetSGVBuffer) getSvgBuffer_ = nullptr;
  decltype(&::TesselFreeSVG) freeSvg_ = nullptr;
  decltype(&::TesselLoadSVGFromData) loadSvgFromData_ = nullptr;
};

}  // namespace tessel
