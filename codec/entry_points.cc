// The six C entry points. Nothing thrown inside may cross them.
#include <exception>
#include <memory>
#include <new>

#include "codec/error_text.h"
#include "codec/png_decoder.h"
#include "codec/svg_documents.h"
#include "codec/tessel_codec.h"

#define TESSEL_CODEC_EXPORT extern "C" __attribute__((visibility("default")))

namespace tessel::codec {
namespace {

constexpr char kSvgSource[] = "SVG documents";

uint8_t KeepDocument(std::unique_ptr<CSvgDocument> document, ImageDescriptor* descriptor) {
  if (document == nullptr) return 0;
  uint32_t width = 0;
  uint32_t height = 0;
  if (!document->NaturalSize(&width, &height, descriptor)) return 0;
  const uint32_t handle = CSvgTable::Instance().Add(std::move(document));
  if (handle == 0) {
    SetError(descriptor, kSvgSource, "too many SVG documents are open; free some and try again");
    return 0;
  }
  descriptor->Width = width;
  descriptor->Height = height;
  descriptor->VectorFlag = 1;
  descriptor->SvgHandle = handle;
  return 1;
}

void SetInternalError(ImageDescriptor* descriptor, const char* source) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    SetError(descriptor, source, "not enough memory to open the document");
  } catch (const std::exception& e) {
    SetError(descriptor, source, "internal failure: %s", e.what());
  } catch (...) {
    SetError(descriptor, source, "internal failure");
  }
}

}  // namespace
}  // namespace tessel::codec

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
  // librsvg needs no global start any more; building the table here keeps the first load cheap.
  CSvgTable::Instance();
}

TESSEL_CODEC_EXPORT uint8_t TesselLoadSVG(const char* utf8Path, ImageDescriptor* descriptor) {
  if (descriptor == nullptr) return 0;
  ClearError(descriptor);
  try {
    return KeepDocument(ParseSvgFile(utf8Path, descriptor), descriptor);
  } catch (...) {
    SetInternalError(descriptor, kSvgSource);
    return 0;
  }
}

TESSEL_CODEC_EXPORT void* TesselGetSGVBuffer(uint32_t handle, uint32_t width, uint32_t height,
                                             RasterAllocator allocator) {
  try {
    std::shared_ptr<CSvgDocument> document = CSvgTable::Instance().Find(handle);
    return document != nullptr ? document->Render(width, height, allocator) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

TESSEL_CODEC_EXPORT void TesselFreeSVG(uint32_t handle) {
  if (handle == 0) return;
  CSvgTable::Instance().Remove(handle);
}

TESSEL_CODEC_EXPORT uint8_t TesselLoadSVGFromData(const void* data, uint32_t length,
                                                  ImageDescriptor* descriptor) {
  if (descriptor == nullptr) return 0;
  ClearError(descriptor);
  try {
    return KeepDocument(CSvgDocument::Parse(static_cast<const uint8_t*>(data), length, descriptor),
                        descriptor);
  } catch (...) {
    SetInternalError(descriptor, kSvgSource);
    return 0;
  }
}
