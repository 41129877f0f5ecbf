// libTesselPng.so: the libpng path behind the table that libTessel.so calls. Nothing thrown
// inside may cross it.
#include "codec/png_side.h"

#include "codec/error_text.h"
#include "codec/png_decoder.h"

namespace tessel::codec {
namespace {

uint8_t Decode(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize) {
  try {
    return DecodePngWithLibpng(data, length, descriptor, pixels, pixelsSize) ? 1 : 0;
  } catch (...) {
    *pixels = nullptr;
    *pixelsSize = 0;
    SetError(descriptor, kPngSource, "internal failure of the libpng path");
    return 0;
  }
}

constexpr PngSide kSide = {sizeof(PngSide), Decode};

}  // namespace
}  // namespace tessel::codec

extern "C" __attribute__((visibility("default"))) const tessel::codec::PngSide* TesselGetPngSide() {
  return &tessel::codec::kSide;
}
