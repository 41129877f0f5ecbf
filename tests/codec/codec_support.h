#pragma once

#include <png.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tessel::codec_test {

// An image as libpng writes it: rows of packed big-endian samples.
struct CSampleImage {
  size_t RowBytes() const {
    static constexpr int kChannels[] = {1, 0, 3, 1, 2, 0, 4};
    return (size_t{width} * kChannels[colorType] * bitDepth + 7) / 8;
  }
  uint32_t width, height;
  int colorType, bitDepth;
  bool interlaced = false;
  std::vector<uint8_t> rows{};
  std::vector<png_color> palette{};
  std::vector<uint8_t> paletteAlpha{};  // tRNS of a palette image
  std::optional<png_color_16> key{};    // tRNS of a gray or RGB image
};

// Random samples, both extremes first; `transparency` gives part of the palette alpha, or makes
// the last row's first pixel the colour key. 16 bits repeat each byte of the same 8-bit image.
CSampleImage MakeSampleImage(int colorType, int bitDepth, bool interlaced, bool transparency,
                             uint32_t width, uint32_t height, uint32_t seed);
// `filters` is a PNG_FILTER_* mask for libpng's writer; 0 leaves the choice to libpng.
std::vector<uint8_t> EncodePng(const CSampleImage& image, size_t idatSize = 8192, int filters = 0);
// libpng's simplified reader, premultiplied. Exact up to 8-bit samples only (linear light).
bool DecodeSimplified(const std::vector<uint8_t>& png, std::vector<uint8_t>* bgra);
inline uint8_t Premultiply(unsigned value, unsigned alpha) {
  return uint8_t((value * alpha + 127) / 255);
}
// Signature and IHDR with the given fields, and nothing after them.
std::vector<uint8_t> MakePngStart(uint32_t width, uint32_t height, int bitDepth, int colorType,
                                  int interlace = 0);

// Appends a chunk with its CRC; FixCrcs makes the CRC of every whole chunk right again.
void AppendChunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& payload);
void FixCrcs(std::vector<uint8_t>* png);

}  // namespace tessel::codec_test
