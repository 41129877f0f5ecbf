#pragma once

#include <cstdint>
#include <string>

#include "client/image_client.h"

// The size an SVG image is rendered at, worked out from what the user asked for and the image's
// natural size, and whether its pixels can be handed over at all.
namespace tessel::cli {

struct SizeRequest {
  uint32_t width = 0;   // 0: not given
  uint32_t height = 0;  // 0: not given
  double zoom = 0;      // > 0: scale the natural size by this
  // Fit inside width x height, keeping the natural aspect ratio.
  bool keepAspect = false;
  // --size: a side given as 0 keeps the natural size on that side; --width or --height alone
  // scales the other side with it.
  bool missingSideNatural = false;

  bool Given() const { return width != 0 || height != 0 || zoom > 0; }
};

// Whether the plan depends on the natural size: only a box of two given sides, not fitted, does
// not.
bool NeedsNaturalSize(const SizeRequest& request);

// The size to render at. Computed sides are rounded to the nearest pixel, and at least 1; sizes
// beyond 32 bits are held at UINT32_MAX for CheckPixelBudget to refuse.
TargetSize PlanSize(const SizeRequest& request, TargetSize natural);

// The default limit on an image's pixels (--max-memory), the client library's own hand-over
// limit.
inline constexpr uint64_t kDefaultPixelMemory = 1ull << 30;
// The most --max-memory accepts: what a reply's block set (its size is 32 bits) can carry with
// room for the image's description, in whole MiB.
inline constexpr uint64_t kMaxPixelMemory = 4095ull << 20;

// The bytes a reply carrying `pixelBytes` of pixels takes beside them: the block set's count and
// sizes and the image's 360-byte descriptor.
inline constexpr uint64_t kReplyOverhead = 4 + 2 * 4 + 360;

// Empty when the pixels of `target` (4 bytes each) fit `limit`; else a sentence that says what
// they need, e.g. "30000x30000 needs 3.35 GiB of pixels; the limit is 1 GiB (--max-memory)".
std::string CheckPixelBudget(TargetSize target, uint64_t limit);

// "1 GiB", "3.35 GiB", "512 KiB", "17 bytes": binary units, two decimals when not whole.
std::string FormatBytes(uint64_t bytes);

}  // namespace tessel::cli
