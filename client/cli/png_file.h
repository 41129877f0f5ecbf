#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "client/cli/color.h"

namespace tessel::cli {

// How hard the writer compresses (--compression): kFast is SUB-filtered rows, compressed whole by
// libdeflate at level 1 up to 4 MiB of pixels and through zlib level 1 with Z_RLE beyond, as fast
// as it gets for the size; kDefault is libpng's own choice (level 6, every filter tried on each
// row); kBest the smallest files (level 9, every filter).
enum class PngCompression { kFast, kDefault, kBest };

// "fast", "default" or "best".
std::optional<PngCompression> ParsePngCompression(const std::string& text);

// The settings the writer hands libpng and zlib.
struct PngSettings {
  int filters;   // a mask of PNG_FILTER_*; more than one lets libpng choose per row
  int level;     // zlib's 0 to 9, or Z_DEFAULT_COMPRESSION (6)
  int strategy;  // Z_DEFAULT_STRATEGY, Z_FILTERED, Z_RLE, ...
};
PngSettings SettingsFor(PngCompression compression);

// Decoded pixels as the worker hands them over: 8-bit premultiplied BGRA, rows packed.
struct CPixels {
  uint32_t width = 0;
  uint32_t height = 0;
  std::span<const std::byte> bgra;
  std::optional<Rgba> background;  // laid under the image as it is written
  PngCompression compression = PngCompression::kFast;
};

// Encodes `image` as an 8-bit straight-alpha RGBA PNG onto `fd`. A signal (Interrupted()) stops
// it between rows. On failure `error` holds the system's reason for a write that failed ("No
// space left on device"), else libpng's.
bool EncodePng(int fd, const CPixels& image, std::string& error);

// Through libpng with settings of the caller's (the benchmark's); image.compression is not read.
bool EncodePng(int fd, const CPixels& image, const PngSettings& settings, std::string& error);

}  // namespace tessel::cli
