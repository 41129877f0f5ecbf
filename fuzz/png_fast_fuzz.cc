// Decodes the input with the fast PNG path alone, as given and with every chunk CRC made right.
// A decoded image is exactly width x height x 4 bytes; a refusal leaves no pixels and two
// terminated texts; a file handed off leaves nothing at all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/png_fast_decoder.h"
#include "fuzz/png_inputs.h"

namespace {

using tessel::codec::PngFastResult;

void DecodeAndCheck(const uint8_t* data, size_t size) {
  ImageDescriptor descriptor{};
  void* pixels = nullptr;
  uint32_t pixelsSize = 0;
  switch (tessel::codec::DecodePngFast(data, size, &descriptor, &pixels, &pixelsSize)) {
    case PngFastResult::kDecoded: {
      if (pixels == nullptr || pixelsSize != uint64_t{descriptor.Width} * descriptor.Height * 4) {
        std::abort();
      }
      // Every byte handed out must exist: the sanitizers see a read of the last one.
      volatile uint8_t last = static_cast<const uint8_t*>(pixels)[pixelsSize - 1];
      (void)last;
      std::free(pixels);
      return;
    }
    case PngFastResult::kRefused:
      if (pixels != nullptr || pixelsSize != 0 || descriptor.ErrorSource[0] == '\0' ||
          std::memchr(descriptor.ErrorSource, 0, sizeof descriptor.ErrorSource) == nullptr ||
          std::memchr(descriptor.ErrorMessage, 0, sizeof descriptor.ErrorMessage) == nullptr) {
        std::abort();
      }
      return;
    case PngFastResult::kHandedOff:
      if (pixels != nullptr || pixelsSize != 0 || descriptor.ErrorSource[0] != '\0' ||
          descriptor.ErrorMessage[0] != '\0') {
        std::abort();
      }
      return;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX || tessel::fuzz::ClaimsHugeButAllowedImage(data, size)) return 0;
  DecodeAndCheck(data, size);
  const std::vector<uint8_t> fixed = tessel::fuzz::WithFixedCrcs(data, size);
  DecodeAndCheck(fixed.data(), fixed.size());
  return 0;
}
