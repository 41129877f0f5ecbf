#include "client/cli/color.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace tessel::cli {
namespace {

constexpr struct {
  std::string_view name;
  Rgba color;
} kNamedColors[] = {
    {"black", {0, 0, 0, 255}},      {"white", {255, 255, 255, 255}}, {"gray", {128, 128, 128, 255}},
    {"grey", {128, 128, 128, 255}}, {"red", {255, 0, 0, 255}},       {"lime", {0, 255, 0, 255}},
    {"green", {0, 128, 0, 255}},    {"blue", {0, 0, 255, 255}},      {"yellow", {255, 255, 0, 255}},
    {"cyan", {0, 255, 255, 255}},   {"magenta", {255, 0, 255, 255}}, {"transparent", {0, 0, 0, 0}},
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// x * y / 255, rounded to nearest, for 8-bit x and y.
unsigned Scale(unsigned x, unsigned y) {
  const unsigned product = x * y + 128;
  return (product + (product >> 8)) >> 8;
}

}  // namespace

std::optional<Rgba> ParseColor(const std::string& text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const auto& named : kNamedColors) {
    if (lower == named.name) return named.color;
  }
  if (lower.empty() || lower[0] != '#') return std::nullopt;
  const std::string_view digits = std::string_view(lower).substr(1);
  const size_t length = digits.size();
  if (length != 3 && length != 6 && length != 8) return std::nullopt;
  uint8_t channels[4] = {0, 0, 0, 255};
  const size_t width = length == 3 ? 1 : 2;
  for (size_t i = 0; i * width < length; ++i) {
    int value = 0;
    for (size_t k = 0; k < width; ++k) {
      const int digit = HexDigit(digits[i * width + k]);
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    channels[i] = static_cast<uint8_t>(width == 1 ? value * 17 : value);  // #f00 is #ff0000
  }
  return Rgba{channels[0], channels[1], channels[2], channels[3]};
}

void ToStraightRgba(std::span<const std::byte> bgra, unsigned char* rgba,
                    const std::optional<Rgba>& background) {
  // The background premultiplied once; laying premultiplied pixels over it is then one
  // multiplication per channel.
  unsigned under[4] = {0, 0, 0, 0};
  if (background) {
    const unsigned alpha = background->a;
    under[0] = Scale(background->r, alpha), under[1] = Scale(background->g, alpha);
    under[2] = Scale(background->b, alpha), under[3] = alpha;
  }
  for (size_t i = 0; i + 4 <= bgra.size(); i += 4) {
    unsigned alpha = static_cast<unsigned>(bgra[i + 3]);
    // A broken raster whose colour exceeds its alpha is clipped below.
    unsigned color[3] = {static_cast<unsigned>(bgra[i + 2]), static_cast<unsigned>(bgra[i + 1]),
                         static_cast<unsigned>(bgra[i])};
    if (background) {
      const unsigned rest = 255 - alpha;
      for (int c = 0; c < 3; ++c) color[c] = std::min(255u, color[c] + Scale(under[c], rest));
      alpha = alpha + Scale(under[3], rest);
    }
    if (alpha == 0) {
      rgba[i] = rgba[i + 1] = rgba[i + 2] = rgba[i + 3] = 0;
      continue;
    }
    // Most pixels are opaque, and their colour is already straight: no division.
    if (alpha == 255) {
      for (int c = 0; c < 3; ++c) rgba[i + c] = static_cast<unsigned char>(color[c]);
      rgba[i + 3] = 255;
      continue;
    }
    for (int c = 0; c < 3; ++c) {
      const unsigned straight = (color[c] * 255 + alpha / 2) / alpha;
      rgba[i + c] = static_cast<unsigned char>(straight > 255 ? 255 : straight);
    }
    rgba[i + 3] = static_cast<unsigned char>(alpha);
  }
}

void ToPremultipliedBgra(std::span<const unsigned char> rgba, std::byte* bgra) {
  for (size_t i = 0; i + 4 <= rgba.size(); i += 4) {
    const unsigned alpha = rgba[i + 3];
    bgra[i] = static_cast<std::byte>(Scale(rgba[i + 2], alpha));
    bgra[i + 1] = static_cast<std::byte>(Scale(rgba[i + 1], alpha));
    bgra[i + 2] = static_cast<std::byte>(Scale(rgba[i], alpha));
    bgra[i + 3] = static_cast<std::byte>(alpha);
  }
}

}  // namespace tessel::cli
