#include "codec/png_decoder.h"

#include "codec/error_text.h"
#include "codec/png_fast_decoder.h"
#include "codec/png_side.h"
#include "codec/side_library.h"

namespace tessel::codec {
namespace {

// The PNG side, loaded at the first image that our own path hands off; null, with the reason in
// the descriptor, when it cannot be had.
const PngSide* LoadedPngSide(ImageDescriptor* descriptor) {
  try {
    static const CSideLibrary<PngSide> side(kPngSideLibrary, kPngSideSymbol, "the PNG side");
    if (side.Get() == nullptr) {
      SetError(descriptor, kPngSource,
               "this image needs the libpng path (it is interlaced or otherwise uncommon), which "
               "cannot be had: %s",
               side.Failure().c_str());
    }
    return side.Get();
  } catch (...) {
    // Only an allocation can throw here; a later call tries again.
    SetError(descriptor, kPngSource, "not enough memory to load %s", kPngSideLibrary);
    return nullptr;
  }
}

}  // namespace

bool DecodePng(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize) {
  switch (DecodePngFast(data, length, descriptor, pixels, pixelsSize)) {
    case PngFastResult::kDecoded:
      return true;
    case PngFastResult::kRefused:
      return false;
    case PngFastResult::kHandedOff:
      break;
  }
  ClearError(descriptor);
  const PngSide* side = LoadedPngSide(descriptor);
  if (side == nullptr) {
    *pixels = nullptr;
    *pixelsSize = 0;
    return false;
  }
  return side->decode(data, length, descriptor, pixels, pixelsSize) != 0;
}

}  // namespace tessel::codec
