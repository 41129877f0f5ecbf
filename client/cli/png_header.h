#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// A PNG file's size and pixel format as its header states them, read without decoding the
// image, so that `tessel info` need not send gigabytes through a worker to print two numbers.
namespace tessel::cli {

// The signature (8 bytes) and the IHDR chunk (4 length, 4 type, 13 data, 4 CRC).
inline constexpr size_t kPngHeaderSize = 33;

struct PngHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 0;
  uint8_t colorType = 0;
  bool interlaced = false;  // Adam7
};

// The header at the start of `head`, when the signature is PNG's, the first chunk is an IHDR of
// 13 bytes whose CRC is right, and every field holds a value the format allows; nothing
// otherwise, and what is wrong is left for the decoder to say.
std::optional<PngHeader> ParsePngHeader(std::span<const std::byte> head);

// The header of the regular file at `path`, read from its first bytes; nothing when it is not a
// regular file, cannot be read or has no valid header. Never blocks on a FIFO.
std::optional<PngHeader> ReadPngHeader(const std::string& path);

// "8-bit RGBA", "1-bit grey, interlaced", "4-bit palette", ...
std::string DescribePngFormat(const PngHeader& header);

}  // namespace tessel::cli
