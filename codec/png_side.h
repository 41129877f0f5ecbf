// What libTessel.so and its PNG side, libTesselPng.so, agree on. The PNG side is the libpng path
// for the images that our own path hands off (interlaced and other uncommon ones): a worker that
// decodes only common PNG images never loads libpng and zlib, and starts that much sooner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/tessel_codec.h"

namespace tessel::codec {

inline constexpr char kPngSideLibrary[] = "libTesselPng.so";
inline constexpr char kPngSideSymbol[] = "TesselGetPngSide";

struct PngSide {
  uint32_t size;  // sizeof(PngSide) where the table was made: both halves are built together
  // DecodePngWithLibpng's contract (png_decoder.h), as 1 or 0.
  uint8_t (*decode)(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
                    uint32_t* pixelsSize);
};

// The one export of libTesselPng.so.
using GetPngSideFunction = const PngSide* (*)();

}  // namespace tessel::codec
