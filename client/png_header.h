#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// A PNG image's size and pixel format as its header states them, read without decoding it, so
// that asking for two numbers need not send gigabytes through a worker.
namespace tessel {

// The signature (8 bytes) and the IHDR chunk (4 length, 4 type, 13 data, 4 CRC).
inline constexpr size_t kPngHeaderSize = 33;

struct PngHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 0;
  uint8_t colorType = 0;
  bool interlaced = false;  // Adam7
};

// Whether `head` starts with the PNG signature.
bool HasPngSignature(std::span<const std::byte> head);

// The header at the start of `head`, when the signature is PNG's, the first chunk is an IHDR of
// 13 bytes whose CRC is right, and every field holds a value the format allows; nothing
// otherwise, and what is wrong is left for the decoder to say.
std::optional<PngHeader> ParsePngHeader(std::span<const std::byte> head);

}  // namespace tessel
