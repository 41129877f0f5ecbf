// The six C entry points. Nothing thrown inside may cross them.
#include "codec/error_text.h"
#include "codec/png_decoder.h"
#include "codec/svg_loader.h"
#include "codec/tessel_codec.h"

#define TESSEL_CODEC_EXPORT extern "C" __attribute__((visibility("default")))

using namespace tessel::codec;

TESSEL_CODEC_EXPORT uint8_t TesselLoadPNG(const void* data, uint32_t length,
                                          ImageDescriptor* descriptor, void** pixels,
                                          uint32_t* pixelsSize) {
  if (descriptor == nullptr) return 0;
  ClearError(descriptor);
  if (pixels == nullptr || pixelsSize == nullptr) {
    SetError(descriptor, "PNG decoder", "no place to return the pixels was given");
    return 0;
  }
  return DecodePng(static_cast<const uint8_t*>(data), length, descriptor, pixels, pixelsSize) ? 1
                                                                                              : 0;
}

TESSEL_CODEC_EXPORT void TesselInitSVG(void) {
  // The SVG side is loaded at the first SVG call, so that a process that decodes only PNG
  // images never maps librsvg and cairo; there is nothing to prepare before that.
}

TESSEL_CODEC_EXPORT uint8_t TesselLoadSVG(const char* utf8Path, ImageDescriptor* descriptor) {
  if (descriptor == nullptr) return 0;
  ClearError(descriptor);
  const SvgSide* side = LoadedSvgSide(descriptor);
  return side != nullptr ? side->loadFile(utf8Path, descriptor) : 0;
}

TESSEL_CODEC_EXPORT void* TesselGetSGVBuffer(uint32_t handle, uint32_t width, uint32_t height,
                                             RasterAllocator allocator) {
  const SvgSide* side = LoadedSvgSide(nullptr);
  return side != nullptr ? side->render(handle, width, height, allocator) : nullptr;
}

TESSEL_CODEC_EXPORT void TesselFreeSVG(uint32_t handle) {
  if (handle == 0) return;
  if (const SvgSide* side = LoadedSvgSide(nullptr)) side->release(handle);
}

TESSEL_CODEC_EXPORT uint8_t TesselLoadSVGFromData(const void* data, uint32_t length,
                                                  ImageDescriptor* descriptor) {
  if (descriptor == nullptr) return 0;
  ClearError(descriptor);
  const SvgSide* side = LoadedSvgSide(descriptor);
  return side != nullptr ? side->loadData(data, length, descriptor) : 0;
}
