// Decodes the input with the fast PNG path and with libpng's path, as given and with every chunk
// CRC made right, and aborts when they disagree: what the fast path decodes, libpng's path must
// decode to the same size and bytes; what it refuses, libpng's path must refuse with the same
// texts. A file the fast path hands off is libpng's to decide, which is agreement.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/png_decoder.h"
#include "codec/png_fast_decoder.h"
#include "fuzz/png_inputs.h"

namespace {

using tessel::codec::PngFastResult;

struct CDecoded {
  ImageDescriptor descriptor{};
  void* pixels = nullptr;
  uint32_t pixelsSize = 0;
  ~CDecoded() { std::free(pixels); }
};

[[noreturn]] void Disagree(const char* what, const CDecoded& fast, const CDecoded& libpng) {
  std::fprintf(stderr, "the paths disagree: %s\nfast: %s: %s\nlibpng: %s: %s\n", what,
               fast.descriptor.ErrorSource, fast.descriptor.ErrorMessage,
               libpng.descriptor.ErrorSource, libpng.descriptor.ErrorMessage);
  std::abort();
}

void Compare(const uint8_t* data, size_t size) {
  CDecoded fast, libpng;
  const PngFastResult verdict =
      tessel::codec::DecodePngFast(data, size, &fast.descriptor, &fast.pixels, &fast.pixelsSize);
  if (verdict == PngFastResult::kHandedOff) return;
  const bool decoded = tessel::codec::DecodePngWithLibpng(data, size, &libpng.descriptor,
                                                          &libpng.pixels, &libpng.pixelsSize);
  if (decoded != (verdict == PngFastResult::kDecoded)) Disagree("decoded or not", fast, libpng);
  if (!decoded) {
    if (std::strcmp(fast.descriptor.ErrorSource, libpng.descriptor.ErrorSource) != 0 ||
        std::strcmp(fast.descriptor.ErrorMessage, libpng.descriptor.ErrorMessage) != 0) {
      Disagree("the reason", fast, libpng);
    }
    return;
  }
  if (fast.descriptor.Width != libpng.descriptor.Width ||
      fast.descriptor.Height != libpng.descriptor.Height || fast.pixelsSize != libpng.pixelsSize ||
      std::memcmp(fast.pixels, libpng.pixels, fast.pixelsSize) != 0) {
    Disagree("the pixels", fast, libpng);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX || tessel::fuzz::ClaimsHugeButAllowedImage(data, size)) return 0;
  Compare(data, size);
  const std::vector<uint8_t> fixed = tessel::fuzz::WithFixedCrcs(data, size);
  Compare(fixed.data(), fixed.size());
  return 0;
}
