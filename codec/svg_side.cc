// libTesselSvg.so: the SVG documents behind the table that libTessel.so forwards to. Nothing
// thrown inside may cross it.
#include "codec/svg_side.h"

#include <exception>
#include <memory>
#include <new>

#include "codec/error_text.h"
#include "codec/svg_documents.h"

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

uint8_t LoadFile(const char* utf8Path, ImageDescriptor* descriptor) {
  try {
    return KeepDocument(ParseSvgFile(utf8Path, descriptor), descriptor);
  } catch (...) {
    SetInternalError(descriptor, kSvgSource);
    return 0;
  }
}

uint8_t LoadData(const void* data, uint32_t length, ImageDescriptor* descriptor) {
  try {
    return KeepDocument(CSvgDocument::Parse(static_cast<const uint8_t*>(data), length, descriptor),
                        descriptor);
  } catch (...) {
    SetInternalError(descriptor, kSvgSource);
    return 0;
  }
}

void* Render(uint32_t handle, uint32_t width, uint32_t height, RasterAllocator allocator) {
  try {
    std::shared_ptr<CSvgDocument> document = CSvgTable::Instance().Find(handle);
    return document != nullptr ? document->Render(width, height, allocator) : nullptr;
  } catch (...) {
    return nullptr;
  }
}

void Release(uint32_t handle) {
  CSvgTable::Instance().Remove(handle);
}

constexpr SvgSide kSide{sizeof(SvgSide), LoadFile, LoadData, Render, Release};

}  // namespace
}  // namespace tessel::codec

extern "C" __attribute__((visibility("default"))) const tessel::codec::SvgSide* TesselGetSvgSide() {
  return &tessel::codec::kSide;
}
