#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/tessel_codec.h"

namespace tessel::codec {

// ErrorSource texts: which stage of a PNG decode refused the image.
inline constexpr char kPngSource[] = "PNG decoder";
inline constexpr char kPngHeaderStage[] = "PNG decoder, header";
inline constexpr char kPngDataStage[] = "PNG decoder, image data";
// The data ends inside a chunk; its argument is the length of the data (%zu).
inline constexpr char kTruncatedFormat[] =
    "the data ends after %zu bytes, in the middle of a chunk; the file is truncated";

// Decodes a whole PNG image into premultiplied BGRA with packed rows. On success *pixels is a
// malloc()ed block of *pixelsSize bytes; on failure both are cleared and the descriptor's error
// texts say why. Common images take the fast path (png_fast_decoder.h), the rest libpng, through
// the PNG side (png_side.h).
bool DecodePng(const uint8_t* data, size_t length, ImageDescriptor* descriptor, void** pixels,
               uint32_t* pixelsSize);

// The same through libpng alone, for every image (png_libpng.cc).
bool DecodePngWithLibpng(const uint8_t* data, size_t length, ImageDescriptor* descriptor,
                         void** pixels, uint32_t* pixelsSize);

// Whether the pixels of a width x height image are within TESSEL_CODEC_MAX_PIXEL_BYTES; when not,
// writes why into `text`.
bool PngSizeAllowed(uint32_t width, uint32_t height, char* text, size_t textSize);

// Checks both decoders make before anything else, with the same texts: data given, the
// signature, and the IHDR sizes against TESSEL_CODEC_MAX_PIXEL_BYTES.
bool CheckPngArguments(const uint8_t* data, size_t length, ImageDescriptor* descriptor);
bool CheckPngStart(const uint8_t* data, size_t length, ImageDescriptor* descriptor);
// No memory for the width x height BGRA pixels.
void SetNoPixelMemoryError(ImageDescriptor* descriptor, uint32_t width, uint32_t height);

// Turns `count` RGBA pixels into premultiplied BGRA in place, rounding to nearest.
void PremultiplyRgbaToBgra(uint8_t* pixels, size_t count);

inline uint8_t MultiplyRounded(unsigned value, unsigned alpha) {
  const unsigned t = value * alpha + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

}  // namespace tessel::codec
