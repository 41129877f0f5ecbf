// What the PNG fuzz targets share: mutations fixed up so that they get past the chunk CRCs, and
// headers too big for the fuzzer's memory limit recognised before anything is decoded.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/tessel_codec.h"

namespace tessel::fuzz {

// Headers within the codec's limit but over this would only measure the fuzzer's malloc limit.
inline constexpr uint64_t kMaxFuzzedPixelBytes = 64ull << 20;

inline uint32_t ReadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline uint32_t Crc32(const uint8_t* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

inline std::vector<uint8_t> WithFixedCrcs(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  size_t at = 8;  // after the signature
  while (at + 12 <= bytes.size()) {
    const uint32_t length = ReadBigEndian32(&bytes[at]);
    if (length > bytes.size() - at - 12) break;
    const uint32_t crc = Crc32(&bytes[at + 4], size_t{length} + 4);
    for (int i = 0; i < 4; ++i) {
      bytes[at + 8 + length + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    at += size_t{length} + 12;
  }
  return bytes;
}

inline bool ClaimsHugeButAllowedImage(const uint8_t* data, size_t size) {
  if (size < 24 || std::memcmp(data + 12, "IHDR", 4) != 0) return false;
  const uint64_t bytes = uint64_t{ReadBigEndian32(data + 16)} * ReadBigEndian32(data + 20) * 4;
  return bytes > kMaxFuzzedPixelBytes && bytes <= TESSEL_CODEC_MAX_PIXEL_BYTES;
}

}  // namespace tessel::fuzz
