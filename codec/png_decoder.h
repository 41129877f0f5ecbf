#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/tessel_codec.h"

namespace tessel::codec {

// Decodes a whole PNG image into premultiplied BGRA with packed rows. On success *pixels is a
// malloc()ed block of *pixelsSize bytes; on failure both are cleared and the descriptor's error
// texts say why.
bool DecodePng(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize);

// Turns `count` RGBA pixels into premultiplied BGRA in place, rounding to nearest.
void PremultiplyRgbaToBgra(uint8_t* pixels, size_t count);

}  // namespace tessel::codec
