#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tessel::cli {

// One row of 8-bit premultiplied BGRA as straight-alpha RGBA. Fully transparent pixels become
// 0, 0, 0, 0: their colour is gone.
void ToStraightRgba(std::span<const std::byte> bgra, unsigned char* rgba);

// Writes `width` x `height` premultiplied BGRA pixels (rows packed) as an 8-bit RGBA PNG file.
// On failure no file is left at `path` and `error` says why.
bool WritePngFile(const std::string& path, uint32_t width, uint32_t height,
                  std::span<const std::byte> bgra, std::string& error);

}  // namespace tessel::cli
