#pragma once

#include <cstddef>
#include <cstdint>

namespace tessel::codec {

// PNG row filters, in place. `row` holds rowBytes bytes after the filter byte; `previous` is the
// row above, already unfiltered, or zeros for the first row. bytesPerPixel is 1 to 8. The caller
// has checked that the filter is 1 to 4.
enum : uint8_t { kFilterNone, kFilterSub, kFilterUp, kFilterAverage, kFilterPaeth, kFilterCount };

// The fastest code this processor has (unfilter_sse2.cc on x86-64, unfilter_generic.cc elsewhere).
void UnfilterRow(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                 size_t bytesPerPixel);

// Plain C++ for every processor (unfilter_scalar.cc); also what the vector code is tested against.
void UnfilterRowScalar(uint8_t filter, uint8_t* row, const uint8_t* previous, size_t rowBytes,
                       size_t bytesPerPixel);

}  // namespace tessel::codec
