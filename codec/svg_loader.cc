#include "codec/svg_loader.h"

#include <string>

#include "codec/error_text.h"
#include "codec/side_library.h"

namespace tessel::codec {
namespace {

constexpr char kLoaderSource[] = "SVG library";

}  // namespace

const SvgSide* LoadedSvgSide(ImageDescriptor* descriptor) {
  try {
    // librsvg registers its types process-wide and cannot be loaded a second time.
    static const CSideLibrary<SvgSide> side(kSvgSideLibrary, kSvgSideSymbol, "the SVG side");
    if (side.Get() == nullptr) {
      SetError(descriptor, kLoaderSource, "SVG images cannot be decoded: %s",
               side.Failure().c_str());
    }
    return side.Get();
  } catch (...) {
    // Only an allocation can throw here; a later call tries again.
    SetError(descriptor, kLoaderSource, "not enough memory to load %s", kSvgSideLibrary);
    return nullptr;
  }
}

}  // namespace tessel::codec
