#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Colours as the user names them, and the worker's pixels as a PNG file wants them.
namespace tessel::cli {

// Straight (not premultiplied) 8-bit RGBA.
struct Rgba {
  uint8_t r = 0, g = 0, b = 0, a = 0;
  bool operator==(const Rgba&) const = default;
};

// "#rgb", "#rrggbb", "#rrggbbaa" (hexadecimal, any case) or a name: black, white, gray (grey),
// red, lime, green, blue, yellow, cyan, magenta, transparent.
std::optional<Rgba> ParseColor(const std::string& text);

// One row of 8-bit premultiplied BGRA as straight-alpha RGBA, laid over `background` when there
// is one. Fully transparent results become 0, 0, 0, 0: their colour is gone.
void ToStraightRgba(std::span<const std::byte> bgra, unsigned char* rgba,
                    const std::optional<Rgba>& background = std::nullopt);

// Straight RGBA as the worker hands pixels over: premultiplied BGRA, each colour rounded to the
// nearest value as the codec rounds it.
void ToPremultipliedBgra(std::span<const unsigned char> rgba, std::byte* bgra);

}  // namespace tessel::cli
