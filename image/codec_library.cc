#include "image/codec_library.h"

#include <cstddef>

#include "platform/process.h"

namespace tessel {
namespace {

// Folder + name: the folder gets a separator unless empty or already ending in one, and a
// leading separator of the name is dropped.
std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '/') joined.push_back('/');
  joined.append(!name.empty() && name.front() == '/' ? name.substr(1) : name);
  return joined;
}

}  // namespace

// The codec's SVG side registers its types in a process-wide registry that refuses a second
// registration, so loading the library again after an unload would end the process: once
// loaded, it stays mapped and releasing it only drops our reference.
bool CCodecLibrary::Load() {
  if (module_.Load(path_, /*keepMapped=*/true)) {
    logger_.Log(Debug, "Library has been loaded %s", {LogArg::String(path_.c_str())});
    return true;
  }
  if (!path_.empty() && path_.front() == '/') {
    logger_.Log(Error, "Cannot load library %s, %s",
                {LogArg::String(path_.c_str()), LogArg::String(module_.LastError().c_str())});
    return false;
  }
  const std::string joined = JoinPath(ExecutableFolder(), path_);
  if (!module_.Load(joined, /*keepMapped=*/true)) {
    logger_.Log(Error, "Cannot load library %s, %s",
                {LogArg::String(joined.c_str()), LogArg::String(module_.LastError().c_str())});
    return false;
  }
  // The stored path, not the joined one.
  logger_.Log(Debug, "Library has been loaded %s", {LogArg::String(path_.c_str())});
  return true;
}

CCodecLibrary::CCodecLibrary(const std::string& path, CLogger& logger)
    : path_(path.empty() ? JoinPath(ExecutableFolder(), kCodecLibraryName) : path),
      logger_(logger) {}

void CCodecLibrary::Preload() {
  if (!path_.empty()) preloaded_.Load(path_, /*keepMapped=*/true);
}

bool CCodecLibrary::Bind() {
  ClearEntryPoints();
  if (!Load()) return false;
  loadPng_ = module_.FunctionSymbol<decltype(loadPng_)>("TesselLoadPNG");
  initSvg_ = module_.FunctionSymbol<decltype(initSvg_)>("TesselInitSVG");
  loadSvg_ = module_.FunctionSymbol<decltype(loadSvg_)>("TesselLoadSVG");
  getSvgBuffer_ = module_.FunctionSymbol<decltype(getSvgBuffer_)>("TesselGetSGVBuffer");
  freeSvg_ = module_.FunctionSymbol<decltype(freeSvg_)>("TesselFreeSVG");
  loadSvgFromData_ = module_.FunctionSymbol<decltype(loadSvgFromData_)>("TesselLoadSVGFromData");

  const struct {
    bool found;
    const char* message;
  } checks[] = {
      {loadPng_ != nullptr, "Cannot find TesselLoadPNG"},
      {initSvg_ != nullptr, "Cannot find TesselInitSVG"},
      {loadSvg_ != nullptr, "Cannot find TesselLoadSVG"},
      {getSvgBuffer_ != nullptr, "Cannot find TesselGetSGVBuffer"},
      {freeSvg_ != nullptr, "Cannot find TesselFreeSVG"},
      {loadSvgFromData_ != nullptr, "Cannot find TesselLoadSVGFromData"},
  };
  for (const auto& check : checks) {
    if (!check.found) {
      logger_.Log(Error, check.message);
      return false;
    }
  }
  return true;
}

void CCodecLibrary::StartSvg(const CContextLog& log) {
  log.Write(Debug, "Initialize SVG Library");
  initSvg_();
  log.Write(Debug, "SGV Library initialized");
}

void CCodecLibrary::Release() {
  ClearEntryPoints();
  module_.Close();
  preloaded_.Close();
  path_.clear();
}

void CCodecLibrary::ClearEntryPoints() {
  loadPng_ = nullptr;
  initSvg_ = nullptr;
  loadSvg_ = nullptr;
  getSvgBuffer_ = nullptr;
  freeSvg_ = nullptr;
  loadSvgFromData_ = nullptr;
}

}  // namespace tessel
