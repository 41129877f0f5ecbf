#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/tessel_codec.h"

namespace tessel::codec {

enum class PngFastResult {
  kDecoded,   // *pixels holds the image, as DecodePng() hands it out
  kRefused,   // the descriptor says why, in the words libpng's path would use
  kHandedOff  // not for this path (interlaced, unusual or damaged in a way libpng may forgive)
};

// Decodes a non-interlaced PNG image with one libdeflate inflate, into premultiplied BGRA
// byte-identical to DecodePngWithLibpng(). It refuses only files that path refuses too, with the
// same texts; whatever it cannot be sure of is handed off, with nothing allocated.
PngFastResult DecodePngFast(const uint8_t* data, size_t length, ImageDescriptor* descriptor,
                            void** pixels, uint32_t* pixelsSize);

}  // namespace tessel::codec
