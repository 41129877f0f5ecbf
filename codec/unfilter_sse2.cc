// x86-64 always has SSE2. Sub, Average and Paeth depend on the pixel to the left, so they go a
// pixel at a time (3 to 8 bytes in one register); Up is 16 independent bytes at a time.
#include <emmintrin.h>

#include <cstring>

#include "codec/unfilter.h"

namespace tessel::codec {
namespace {

inline __m128i LoadPixel(const uint8_t* p, size_t bpp) {
  uint64_t bits = 0;
  std::memcpy(&bits, p, bpp);
  return _mm_cvtsi64_si128(static_cast<long long>(bits));
}

inline void StorePixel(uint8_t* p, __m128i value, size_t bpp) {
  const uint64_t bits = static_cast<uint64_t>(_mm_cvtsi128_si64(value));
  std::memcpy(p, &bits, bpp);
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

void Sub(uint8_t* row, size_t rowBytes, size_t bpp) {
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    a = _mm_add_epi8(LoadPixel(row + i, bpp), a);
    StorePixel(row + i, a, bpp);
  }
}

void Average(uint8_t* row, const uint8_t* previous, size_t rowBytes, size_t bpp) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    const __m128i b = LoadPixel(previous + i, bpp);
    // avg_epu8 rounds up; the filter rounds down.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(LoadPixel(row + i, bpp), mean);
    StorePixel(row + i, a, bpp);
  }
}

inline __m128i Absolute16(__m128i x) {
  return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

inline __m128i Select(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

void Paeth(uint8_t* row, const uint8_t* previous, size_t rowBytes, size_t bpp) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero, c = zero;  // 16-bit lanes
  for (size_t i = 0; i + bpp <= rowBytes; i += bpp) {
    const __m128i b = _mm_unpacklo_epi8(LoadPixel(previous + i, bpp), zero);
    const __m128i toLeft = _mm_sub_epi16(b, c), toAbove = _mm_sub_epi16(a, c);
    const __m128i pa = Absolute16(toLeft), pb = Absolute16(toAbove);
    const __m128i pc = Absolute16(_mm_add_epi16(toLeft, toAbove));
    const __m128i smallest = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
    // Ties go to the left, then to the pixel above.
    __m128i predictor = Select(_mm_cmpeq_epi16(smallest, pb), b, c);
    predictor = Select(_mm_cmpeq_epi16(smallest, pa), a, predictor);
    const __m128i x = _mm_add_epi8(LoadPixel(row + i, bpp), _mm_packus_epi16(predictor, zero));
    StorePixel(row + i, x, bpp);
    a = _mm_unpacklo_epi8(x, zero);
    c = b;
  }
}

}  // namespace

void UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                 size_t bytesPerPixel) {
  if (filter == kFilterUp) return Up(row, previous, rowBytes);
  // Rows are whole pixels once a pixel is a byte or more; smaller ones gain nothing from vectors.
  if (bytesPerPixel < 3) {
    return UnfilterRowScalar(filter, row, previous, rowBytes, bytesPerPixel);
  }
  switch (filter) {
    case kFilterSub:
      return Sub(row, rowBytes, bytesPerPixel);
    case kFilterAverage:
      return Average(row, previous, rowBytes, bytesPerPixel);
    case kFilterPaeth:
      return Paeth(row, previous, rowBytes, bytesPerPixel);
    default:
      return;
  }
}

}  // namespace tessel::codec
