// What both PNG paths share: the first checks, with the same texts, and the premultiplying pass.
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/error_text.h"
#include "codec/png_decoder.h"

namespace tessel::codec {
namespace {

constexpr const char* kSource = kPngSource;
constexpr const char* kHeaderStage = kPngHeaderStage;
constexpr unsigned char kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr size_t kSignatureSize = sizeof kSignature;
// Signature, IHDR length and type, then the width and height fields.
constexpr size_t kIhdrSizesEnd = kSignatureSize + 8 + 8;

uint32_t ReadBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

// Writes why into `text` when the pixels of a width x height image exceed the limit.
bool PngSizeAllowed(uint32_t width, uint32_t height, char* text, size_t textSize) {
  uint64_t bytes = 0;
  if (TesselRasterBytes(width, height, TESSEL_CODEC_MAX_PIXEL_BYTES, &bytes)) return true;
  std::snprintf(text, textSize,
                "the image is %u x %u pixels and needs %llu bytes of pixels; the limit is %llu "
                "bytes",
                width, height, static_cast<unsigned long long>(bytes),
                TESSEL_CODEC_MAX_PIXEL_BYTES);
  return false;
}

// Looks at the signature and the IHDR sizes before either path allocates anything at all.
bool CheckPngStart(const uint8_t* data, size_t length, ImageDescriptor* descriptor) {
  if (length == 0) {
    SetError(descriptor, kSource, "the data is empty (0 bytes); no image was given");
    return false;
  }
  if (length < kSignatureSize || std::memcmp(data, kSignature, kSignatureSize) != 0) {
    SetError(descriptor, kSource,
             "the data is not a PNG image: its first bytes are not the PNG signature");
    return false;
  }
  if (length >= kIhdrSizesEnd && std::memcmp(data + 12, "IHDR", 4) == 0) {
    char refusal[160];
    if (!PngSizeAllowed(ReadBigEndian32(data + 16), ReadBigEndian32(data + 20), refusal,
                     sizeof refusal)) {
      SetError(descriptor, kHeaderStage, "%s", refusal);
      return false;
    }
  }
  return true;  // libpng names what is wrong with the first chunk
}

void SetNoPixelMemoryError(ImageDescriptor* descriptor, uint32_t width, uint32_t height) {
  const size_t bytes = size_t{width} * height * 4;
  if (const unsigned long long limit = AddressSpaceLimit()) {
    SetError(descriptor, kSource,
             "out of memory while decoding: the limit is %llu bytes of address space, and the "
             "%u x %u pixels alone need %zu bytes",
             limit, width, height, bytes);
  } else {
    SetError(descriptor, kSource, "not enough memory for the %u x %u pixels (%zu bytes)", width,
             height, bytes);
  }
}

void PremultiplyRgbaToBgra(uint8_t* pixels, size_t count) {
  size_t done = 0;
#if defined(__SSE2__)
  // Four pixels at a time in 16-bit lanes; no lane overflows: 255 * 255 + 128 + 254 < 65536.
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi16(128);
  const __m128i alphaMask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  constexpr int kBroadcastAlpha = _MM_SHUFFLE(3, 3, 3, 3);
  constexpr int kSwapRedBlue = _MM_SHUFFLE(3, 0, 1, 2);
  for (; done + 4 <= count; done += 4, pixels += 16) {
    const __m128i source = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels));
    __m128i low = _mm_unpacklo_epi8(source, zero);
    __m128i high = _mm_unpackhi_epi8(source, zero);
    const __m128i lowAlpha =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(low, kBroadcastAlpha), kBroadcastAlpha);
    const __m128i highAlpha =
        _mm_shufflehi_epi16(_mm_shufflelo_epi16(high, kBroadcastAlpha), kBroadcastAlpha);
    low = _mm_add_epi16(_mm_mullo_epi16(low, lowAlpha), half);
    high = _mm_add_epi16(_mm_mullo_epi16(high, highAlpha), half);
    low = _mm_srli_epi16(_mm_add_epi16(low, _mm_srli_epi16(low, 8)), 8);
    high = _mm_srli_epi16(_mm_add_epi16(high, _mm_srli_epi16(high, 8)), 8);
    low = _mm_shufflehi_epi16(_mm_shufflelo_epi16(low, kSwapRedBlue), kSwapRedBlue);
    high = _mm_shufflehi_epi16(_mm_shufflelo_epi16(high, kSwapRedBlue), kSwapRedBlue);
    const __m128i colours = _mm_andnot_si128(alphaMask, _mm_packus_epi16(low, high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels),
                     _mm_or_si128(colours, _mm_and_si128(source, alphaMask)));
  }
#endif
  for (; done < count; ++done, pixels += 4) {
    const unsigned alpha = pixels[3];
    const uint8_t red = pixels[0];
    pixels[0] = MultiplyRounded(pixels[2], alpha);
    pixels[1] = MultiplyRounded(pixels[1], alpha);
    pixels[2] = MultiplyRounded(red, alpha);
  }
}

bool CheckPngArguments(const uint8_t* data, size_t length, ImageDescriptor* descriptor) {
  if (data == nullptr && length != 0) {
    SetError(descriptor, kSource, "no data was given for an image of %zu bytes", length);
    return false;
  }
  return true;
}

}  // namespace tessel::codec
