#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// A PNG image read by libpng in the tool's own process, apart from the worker: what `check`
// holds the worker's pixels against, and how it reads the reference images of SVG documents.
namespace tessel::cli {

// 8-bit straight RGBA, rows packed.
struct CRgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<unsigned char> rgba;
};

// Decodes `png` as the worker's rules say a PNG image looks: palettes and colour keys become
// alpha, 16-bit samples round to the nearest 8-bit value, grey goes to every colour, and no gamma,
// colour profile or significant-bits chunk changes a sample. Pixels beyond `maxPixelBytes` (4
// bytes each) are refused before they are allocated. On failure `error` holds libpng's reason.
bool DecodeReferencePng(std::span<const std::byte> png, uint64_t maxPixelBytes, CRgbaImage& out,
                        std::string& error);

}  // namespace tessel::cli
