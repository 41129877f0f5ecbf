#include "client/cli/size_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "wire/image_descriptor.h"

namespace tessel::cli {
namespace {

// Rounded to nearest, never 0 (an image needs a pixel), and held within 32 bits.
uint32_t Side(double value) {
  if (!(value >= 1)) return 1;  // also NaN
  if (value >= static_cast<double>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(std::lround(value));
}

}  // namespace

bool NeedsNaturalSize(const SizeRequest& request) {
  return request.zoom > 0 || request.width == 0 || request.height == 0 || request.keepAspect;
}

TargetSize PlanSize(const SizeRequest& request, TargetSize natural) {
  const double naturalWidth = std::max<uint32_t>(natural.width, 1);
  const double naturalHeight = std::max<uint32_t>(natural.height, 1);
  if (request.zoom > 0)
    return {Side(naturalWidth * request.zoom), Side(naturalHeight * request.zoom)};
  const uint32_t width = request.width, height = request.height;
  if (width != 0 && height != 0) {
    if (!request.keepAspect) return {width, height};
    const double scale = std::min(width / naturalWidth, height / naturalHeight);
    // Rounding must not step outside the box.
    return {std::min(Side(naturalWidth * scale), width),
            std::min(Side(naturalHeight * scale), height)};
  }
  if (width != 0) {
    return {width, request.missingSideNatural ? natural.height
                                              : Side(width * naturalHeight / naturalWidth)};
  }
  if (height != 0) {
    return {
        request.missingSideNatural ? natural.width : Side(height * naturalWidth / naturalHeight),
        height};
  }
  return natural;
}

std::string CheckPixelBudget(TargetSize target, uint64_t limit) {
  uint64_t pixels = 0;
  if (TesselRasterBytes(target.width, target.height, limit, &pixels)) return {};
  return std::to_string(target.width) + "x" + std::to_string(target.height) + " needs " +
         FormatBytes(pixels) + " of pixels; the limit is " + FormatBytes(limit) + " (--max-memory)";
}

std::string FormatBytes(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  int unit = 0;
  while (unit + 1 < 6 && bytes >= (uint64_t{1} << (10 * (unit + 2)))) ++unit;
  const uint64_t size = uint64_t{1} << (10 * (unit + 1));
  char text[32];
  if (bytes % size == 0) {
    std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(bytes / size),
                  kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.2f %s", static_cast<double>(bytes) / size, kUnits[unit]);
  }
  return text;
}

}  // namespace tessel::cli
