// x86-64 always has SSE2. Sub, Average and Paeth depend on the pixel to the left, so they go a
// pixel at a time (3 to 8 bytes in one register); Up is 16 independent bytes at a time.
#include <emmintrin.h>

#include <cstring>

#include "codec/unfilter.h"

namespace tessel::codec {
namespace {

// A pixel's bytes in the low lanes. Built from whole 4-, 2- and 1-byte moves in registers: a
// 3- or 6-byte copy through memory stalls the store forwarding of every pixel.
template <size_t kBpp>
inline uint64_t LoadBits(const uint8_t* p) {
  uint32_t low = 0;
  uint16_t high = 0;
  if constexpr (kBpp == 3) {
    std::memcpy(&high, p, 2);
    return high | (uint64_t{p[2]} << 16);
  } else if constexpr (kBpp == 6) {
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + 4, 2);
    return low | (uint64_t{high} << 32);
  } else {
    uint64_t bits = 0;
    std::memcpy(&bits, p, kBpp);  // 4 or 8: one move
    return bits;
  }
}

template <size_t kBpp>
inline __m128i LoadPixel(const uint8_t* p) {
  return _mm_cvtsi64_si128(static_cast<long long>(LoadBits<kBpp>(p)));
}

template <size_t kBpp>
inline void StorePixel(uint8_t* p, __m128i value) {
  const uint64_t bits = static_cast<uint64_t>(_mm_cvtsi128_si64(value));
  if constexpr (kBpp == 3) {
    const auto low = static_cast<uint16_t>(bits);
    std::memcpy(p, &low, 2);
    p[2] = static_cast<uint8_t>(bits >> 16);
  } else if constexpr (kBpp == 6) {
    const auto low = static_cast<uint32_t>(bits);
    const auto high = static_cast<uint16_t>(bits >> 32);
    std::memcpy(p, &low, 4);
    std::memcpy(p + 4, &high, 2);
  } else {
    std::memcpy(p, &bits, kBpp);
  }
}

void Up(uint8_t* row, const uint8_t* previous, size_t rowBytes) {
  size_t i = 0;
  for (; i + 16 <= rowBytes; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), _mm_add_epi8(x, b));
  }
  for (; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + previous[i]);
}

template <size_t bpp>
void Sub(uint8_t* row, size_t rowBytes) {
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    a = _mm_add_epi8(LoadPixel<bpp>(row + i), a);
    StorePixel<bpp>(row + i, a);
  }
}

template <size_t bpp>
void Average(uint8_t* row, const uint8_t* previous, size_t rowBytes) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    const __m128i b = LoadPixel<bpp>(previous + i);
    // avg_epu8 rounds up; the filter rounds down.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel<bpp>(row + i), mean);
    StorePixel<bpp>(row + i, a);
  }
}

inline __m128i Absolute16(__m128i x) {
  return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

inline __m128i Select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

template <size_t bpp>
void Paeth(uint8_t* row, const uint8_t* previous, size_t rowBytes) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero;  // 16-bit lanes
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel<bpp>(previous + i), zero);
    const __m128i toLeft = _mm_sub_epi16(b, c), toAbove = _mm_sub_epi16(a, c);
    const __m128i pa = Absolute16(toLeft), pb = Absolute16(toAbove);
    const __m128i pc = Absolute16(_mm_add_epi16(toLeft, toAbove));
    const __m128i smallest = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
    // Ties go to the left, then to the pixel above.
    __m128i predictor = Select(_mm_cmpeq_epi16(smallest, pb), b, c);
    predictor = Select(_mm_cmpeq_epi16(smallest, pa), a, predictor);
    const __m128i x = _mm_add_epi8(LoadPixel<bpp>(row + i), _mm_packus_epi16(predictor, zero));
    StorePixel<bpp>(row + i, x);
    a = _mm_unpacklo_epi8(x, zero);
    c = b;
  }
}

template <size_t bpp>
void Unfilter(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes) {
  switch (filter) {
    case kFilterSub:
      return Sub<bpp>(row, rowBytes);
    case kFilterAverage:
      return Average<bpp>(row, previous, rowBytes);
    case kFilterPaeth:
      return Paeth<bpp>(row, previous, rowBytes);
    default:
      return;
  }
}

}  // namespace

void UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                 size_t bytesPerPixel) {
  if (filter == kFilterUp) return Up(row, previous, rowBytes);
  // Pixels of 3 to 8 bytes are RGB and RGBA of 8 and 16 bits and gray + alpha of 16; smaller ones
  // gain nothing from vectors.
  switch (bytesPerPixel) {
    case 3:
      return Unfilter<3>(filter, row, previous, rowBytes);
    case 4:
      return Unfilter<4>(filter, row, previous, rowBytes);
    case 6:
      return Unfilter<6>(filter, row, previous, rowBytes);
    case 8:
      return Unfilter<8>(filter, row, previous, rowBytes);
    default:
      return UnfilterRowScalar(filter, row, previous, rowBytes, bytesPerPixel);
  }
}

}  // namespace tessel::codec
