#include "client/png_header.h"

#include <algorithm>
#include <cstring>

namespace tessel {
namespace {

constexpr unsigned char kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr uint32_t kIhdrLength = 13;
constexpr uint32_t kMaxSide = 0x7fffffffu;  // the format's limit on each side

uint32_t BigEndian(const std::byte* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

// The chunk CRC over 17 bytes: bitwise, since a table (or zlib in the client library) is not
// worth it for one chunk.
uint32_t Crc32(const std::byte* data, size_t size) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint8_t>(data[i]);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xffffffffu;
}

// The bit depths each colour type allows: powers of two up to 16, some of them.
bool DepthAllowed(uint8_t colorType, uint8_t bitDepth) {
  if (bitDepth == 0 || bitDepth > 16 || (bitDepth & (bitDepth - 1)) != 0) return false;
  switch (colorType) {
    case 0:  // grey
      return true;
    case 3:  // palette
      return bitDepth <= 8;
    case 2:  // RGB
    case 4:  // grey and alpha
    case 6:  // RGBA
      return bitDepth >= 8;
    default:
      return false;
  }
}

}  // namespace

bool HasPngSignature(std::span<const std::byte> head) {
  return head.size() >= sizeof kPngSignature &&
         std::equal(
             std::begin(kPngSignature), std::end(kPngSignature), head.begin(),
             [](unsigned char a, std::byte b) { return a == static_cast<unsigned char>(b); });
}

std::optional<PngHeader> ParsePngHeader(std::span<const std::byte> head) {
  if (head.size() < kPngHeaderSize || !HasPngSignature(head)) return std::nullopt;
  const std::byte* chunk = head.data() + sizeof kPngSignature;
  if (BigEndian(chunk) != kIhdrLength || std::memcmp(chunk + 4, "IHDR", 4) != 0)
    return std::nullopt;
  const std::byte* data = chunk + 8;
  if (BigEndian(data + kIhdrLength) != Crc32(chunk + 4, 4 + kIhdrLength)) return std::nullopt;
  PngHeader header;
  header.width = BigEndian(data);
  header.height = BigEndian(data + 4);
  header.bitDepth = static_cast<uint8_t>(data[8]);
  header.colorType = static_cast<uint8_t>(data[9]);
  const auto compression = static_cast<uint8_t>(data[10]);
  const auto filter = static_cast<uint8_t>(data[11]);
  const auto interlace = static_cast<uint8_t>(data[12]);
  if (header.width == 0 || header.width > kMaxSide || header.height == 0 ||
      header.height > kMaxSide || !DepthAllowed(header.colorType, header.bitDepth) ||
      compression != 0 || filter != 0 || interlace > 1)
    return std::nullopt;
  header.interlaced = interlace == 1;
  return header;
}

}  // namespace tessel
