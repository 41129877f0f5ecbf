// What libTessel.so and its SVG side, libTesselSvg.so, agree on. The SVG side holds everything
// that needs librsvg and cairo, whose fifty-odd libraries a process that decodes only PNG images
// never has to load: libTessel.so loads it from its own folder at the first SVG call.
#pragma once

#include <cstdint>

#include "codec/tessel_codec.h"

namespace tessel::codec {

inline constexpr char kSvgSideLibrary[] = "libTesselSvg.so";
inline constexpr char kSvgSideSymbol[] = "TesselGetSvgSide";

// The SVG entry points of the side, with the contracts of their counterparts in tessel_codec.h.
struct SvgSide {
  uint32_t size;  // sizeof(SvgSide) where the table was made: both halves are built together
  uint8_t (*loadFile)(const char* utf8Path, ImageDescriptor* descriptor);
  uint8_t (*loadData)(const void* data, uint32_t length, ImageDescriptor* descriptor);
  void* (*render)(uint32_t handle, uint32_t width, uint32_t height, RasterAllocator allocator);
  void (*release)(uint32_t handle);
};

// The one export of libTesselSvg.so.
using GetSvgSideFunction = const SvgSide* (*)();

}  // namespace tessel::codec
