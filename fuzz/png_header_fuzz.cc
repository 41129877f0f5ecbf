// Reads arbitrary bytes as the start of a PNG file the way `tessel info` does before it asks a
// worker, and checks that an accepted header says what its bytes say and lies in the format's
// ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "client/cli/png_header.h"

namespace {

uint32_t BigEndian(const unsigned char* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so a read past the bytes is caught by the sanitizers.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(bytes.get(), data, size);
  const std::optional<tessel::cli::PngHeader> header =
      tessel::cli::ParsePngHeader(std::as_bytes(std::span(bytes.get(), size)));
  if (!header) return 0;
  if (size < tessel::cli::kPngHeaderSize) std::abort();
  const unsigned char* ihdr = bytes.get() + 16;
  if (header->width != BigEndian(ihdr) || header->height != BigEndian(ihdr + 4) ||
      header->bitDepth != ihdr[8] || header->colorType != ihdr[9] ||
      header->interlaced != (ihdr[12] == 1))
    std::abort();
  if (header->width == 0 || header->height == 0 || (header->width | header->height) >> 31 != 0)
    std::abort();
  if (tessel::cli::DescribePngFormat(*header).empty()) std::abort();
  return 0;
}
