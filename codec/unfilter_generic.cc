// Processors without a vector version of the filters.
#include "codec/unfilter.h"

namespace tessel::codec {

void UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                 size_t bytesPerPixel) {
  UnfilterRowScalar(filter, row, previous, rowBytes, bytesPerPixel);
}

}  // namespace tessel::codec
