#include <cstdlib>

#include "codec/unfilter.h"

namespace tessel::codec {
namespace {

inline uint8_t Paeth(int left, int above, int upperLeft) {
  const int p = left + above - upperLeft;
  const int pa = std::abs(p - left), pb = std::abs(p - above), pc = std::abs(p - upperLeft);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(left);
  return static_cast<uint8_t>(pb <= pc ? above : upperLeft);
}

}  // namespace

void UnfilterRowScalar(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                       size_t bpp) {
  const size_t lead = bpp < rowBytes ? bpp : rowBytes;
  switch (filter) {
    case kFilterSub:
      for (size_t i = bpp; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
      break;
    case kFilterUp:
      for (size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(row[i] + previous[i]);
      break;
    case kFilterAverage:
      for (size_t i = 0; i < lead; ++i) row[i] = static_cast<uint8_t>(row[i] + (previous[i] >> 1));
      for (size_t i = bpp; i < rowBytes; ++i) {
        row[i] = static_cast<uint8_t>(row[i] + ((row[i - bpp] + previous[i]) >> 1));
      }
      break;
    case kFilterPaeth:
      for (size_t i = 0; i < lead; ++i) row[i] = static_cast<uint8_t>(row[i] + previous[i]);
      for (size_t i = bpp; i < rowBytes; ++i) {
        row[i] = static_cast<uint8_t>(row[i] + Paeth(row[i - bpp], previous[i], previous[i - bpp]));
      }
      break;
    default:
      break;
  }
}

}  // namespace tessel::codec
