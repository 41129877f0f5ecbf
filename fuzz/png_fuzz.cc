// Decodes the input as a PNG image, as given and again with every chunk CRC made right (so that
// mutations reach the decoder instead of stopping at the checksum). A success must hand back
// exactly width x height x 4 bytes; a failure no pixels and two terminated texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/tessel_codec.h"
#include "fuzz/png_inputs.h"

namespace {

using namespace tessel::fuzz;

void DecodeAndCheck(const uint8_t* data, size_t size) {
  ImageDescriptor descriptor{};
  void* pixels = nullptr;
  uint32_t pixelsSize = 0;
  if (TesselLoadPNG(data, static_cast<uint32_t>(size), &descriptor, &pixels, &pixelsSize)) {
    if (pixels == nullptr || pixelsSize != uint64_t{descriptor.Width} * descriptor.Height * 4) {
      std::abort();
    }
    // Every byte handed out must exist: the sanitizers see a read of the last one.
    volatile uint8_t last = static_cast<const uint8_t*>(pixels)[pixelsSize - 1];
    (void)last;
    std::free(pixels);
  } else if (pixels != nullptr || pixelsSize != 0 ||
             std::memchr(descriptor.ErrorSource, 0, sizeof descriptor.ErrorSource) == nullptr ||
             std::memchr(descriptor.ErrorMessage, 0, sizeof descriptor.ErrorMessage) == nullptr) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX || ClaimsHugeButAllowedImage(data, size)) return 0;
  DecodeAndCheck(data, size);
  const std::vector<uint8_t> fixed = WithFixedCrcs(data, size);
  DecodeAndCheck(fixed.data(), fixed.size());
  return 0;
}
