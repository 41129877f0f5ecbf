#include "codec/svg_loader.h"

#include <dlfcn.h>

#include <string>

#include "codec/error_text.h"
#include "platform/dynamic_library.h"

namespace tessel::codec {
namespace {

constexpr char kLoaderSource[] = "SVG library";

// The folder this library was loaded from, with a trailing '/'; empty when the loader cannot
// tell, and the SVG side is then searched for as dlopen() searches.
std::string OwnFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&LoadedSvgSide), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

struct CSvgSideLoad {
  CDynamicLibraryHandle library;
  const SvgSide* side = nullptr;
  std::string failure;

  CSvgSideLoad() {
    const std::string path = OwnFolder() + kSvgSideLibrary;
    // librsvg registers its types process-wide and cannot be loaded a second time.
    if (!library.Load(path, /*keepMapped=*/true)) {
      failure = "cannot load " + path + ": " + library.LastError();
      return;
    }
    const auto get = library.FunctionSymbol<GetSvgSideFunction>(kSvgSideSymbol);
    const SvgSide* table = get != nullptr ? get() : nullptr;
    if (table == nullptr || table->size != sizeof(SvgSide)) {
      failure = path + " is not the SVG side of this libTessel.so";
      return;
    }
    side = table;
  }
};

}  // namespace

const SvgSide* LoadedSvgSide(ImageDescriptor* descriptor) {
  try {
    static const CSvgSideLoad load;
    if (load.side == nullptr) {
      SetError(descriptor, kLoaderSource, "SVG images cannot be decoded: %s", load.failure.c_str());
    }
    return load.side;
  } catch (...) {
    // Only an allocation can throw here; a later call tries again.
    SetError(descriptor, kLoaderSource, "not enough memory to load %s", kSvgSideLibrary);
    return nullptr;
  }
}

}  // namespace tessel::codec
