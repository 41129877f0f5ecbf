#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "tessel/export.h"

namespace tessel {

enum class ImageFormat : int {
  kAuto = 0,  // as a request: tell from the content
  kPng = 1,
  kSvg = 2,
};

// How the colour channels relate to alpha. The worker renders premultiplied; straight alpha is
// converted exactly in the client (a pixel of alpha 0 becomes 0,0,0,0).
enum class AlphaMode : int {
  kPremultiplied = 0,
  kStraight = 1,
};

// What an image is without its pixels: its format and natural size (an SVG image's rounded up to
// whole pixels).
struct ImageInfo {
  ImageFormat format = ImageFormat::kAuto;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Decoded pixels that the image owns: 8-bit BGRA, rows packed (Stride() == Width() * 4), first
// row on top. Independent of the loader and its workers; move it freely between threads. Copying
// copies the pixels.
class TESSEL_API Image {
 public:
  Image();
  ~Image();
  Image(const Image& other);
  Image& operator=(const Image& other);
  Image(Image&& other) noexcept;
  Image& operator=(Image&& other) noexcept;

  // True for a default-constructed image or one a failed load left alone.
  bool Empty() const;
  // The size of the pixels: what an SVG image was rendered at, a PNG image's natural size.
  uint32_t Width() const;
  uint32_t Height() const;
  size_t Stride() const;
  AlphaMode Alpha() const;
  // The format and natural size of the source.
  ImageInfo Info() const;
  // Height() * Stride() bytes; empty for an empty image. Valid until the image is changed,
  // assigned or destroyed.
  std::span<const std::byte> Pixels() const;
  std::span<std::byte> MutablePixels();

  // Converts the pixels in place; converting to the mode they are in does nothing.
  void ConvertAlpha(AlphaMode mode);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend struct ImageAccess;
};

// Straight alpha from premultiplied BGRA, in place: each colour becomes round(c * 255 / a),
// at most 255; alpha 0 gives 0. `pixels` holds whole pixels.
TESSEL_API void Unpremultiply(std::span<std::byte> pixels);
// Premultiplied from straight BGRA, in place: each colour becomes round(c * a / 255).
TESSEL_API void Premultiply(std::span<std::byte> pixels);

}  // namespace tessel
