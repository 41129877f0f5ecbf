// Parses the input as an SVG document, renders it small and frees it. A success must come with a
// non-zero handle and a natural size; a failure with two terminated texts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec/tessel_codec.h"

namespace {

// Keeps every rendering cheap: the fuzzer explores the parser and the renderer, not the pixels.
constexpr uint32_t kMaxSide = 48;

void* Allocate(uint32_t size) {
  return std::malloc(size);
}

}  // namespace

// fontconfig keeps what it loads for text for the life of the process, by design.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  ImageDescriptor descriptor{};
  if (!TesselLoadSVGFromData(data, static_cast<uint32_t>(size), &descriptor)) {
    if (descriptor.SvgHandle != 0 ||
        std::memchr(descriptor.ErrorSource, 0, sizeof descriptor.ErrorSource) == nullptr ||
        std::memchr(descriptor.ErrorMessage, 0, sizeof descriptor.ErrorMessage) == nullptr) {
      std::abort();
    }
    return 0;
  }
  if (descriptor.SvgHandle == 0 || descriptor.Width == 0 || descriptor.Height == 0) std::abort();
  const uint32_t width = std::min(descriptor.Width, kMaxSide);
  const uint32_t height = std::min(descriptor.Height, kMaxSide);
  if (void* raster = TesselGetSGVBuffer(descriptor.SvgHandle, width, height, Allocate)) {
    volatile uint8_t last = static_cast<const uint8_t*>(raster)[size_t{width} * height * 4 - 1];
    (void)last;
    std::free(raster);
  }
  TesselFreeSVG(descriptor.SvgHandle);
  return 0;
}
