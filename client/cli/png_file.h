#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "client/cli/color.h"

namespace tessel::cli {

// Decoded pixels as the worker hands them over: 8-bit premultiplied BGRA, rows packed.
struct CPixels {
  uint32_t width = 0;
  uint32_t height = 0;
  std::span<const std::byte> bgra;
  std::optional<Rgba> background;  // laid under the image as it is written
};

// Encodes `image` as an 8-bit straight-alpha RGBA PNG onto `fd`. A signal (Interrupted()) stops
// it between rows. On failure `error` holds the system's reason for a write that failed ("No
// space left on device"), else libpng's.
bool EncodePng(int fd, const CPixels& image, std::string& error);

}  // namespace tessel::cli
