#include <algorithm>

#include "sdk/internal.h"

namespace tessel {

Image::Image() = default;
Image::~Image() = default;
Image::Image(const Image& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr) {}
Image& Image::operator=(const Image& other) {
  if (this != &other) impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr;
  return *this;
}
Image::Image(Image&& other) noexcept = default;
Image& Image::operator=(Image&& other) noexcept = default;

bool Image::Empty() const {
  return !impl_ || impl_->pixels.empty();
}
uint32_t Image::Width() const {
  return impl_ ? impl_->width : 0;
}
uint32_t Image::Height() const {
  return impl_ ? impl_->height : 0;
}
size_t Image::Stride() const {
  return size_t{Width()} * 4;
}
AlphaMode Image::Alpha() const {
  return impl_ ? impl_->alpha : AlphaMode::kPremultiplied;
}
ImageInfo Image::Info() const {
  return impl_ ? impl_->info : ImageInfo{};
}

std::span<const std::byte> Image::Pixels() const {
  return impl_ ? std::span<const std::byte>(impl_->pixels) : std::span<const std::byte>();
}

std::span<std::byte> Image::MutablePixels() {
  return impl_ ? std::span<std::byte>(impl_->pixels) : std::span<std::byte>();
}

void Image::ConvertAlpha(AlphaMode mode) {
  if (!impl_ || impl_->alpha == mode) return;
  if (mode == AlphaMode::kStraight) {
    Unpremultiply(impl_->pixels);
  } else {
    Premultiply(impl_->pixels);
  }
  impl_->alpha = mode;
}

void Unpremultiply(std::span<std::byte> pixels) {
  for (size_t i = 0; i + 4 <= pixels.size(); i += 4) {
    const unsigned alpha = static_cast<uint8_t>(pixels[i + 3]);
    if (alpha == 255) continue;
    for (size_t c = 0; c < 3; ++c) {
      const unsigned value = static_cast<uint8_t>(pixels[i + c]);
      // Rounded to nearest; a colour above its alpha (never from our decoders) saturates.
      const unsigned straight = alpha == 0 ? 0 : std::min(255u, (value * 255 + alpha / 2) / alpha);
      pixels[i + c] = static_cast<std::byte>(straight);
    }
  }
}

void Premultiply(std::span<std::byte> pixels) {
  for (size_t i = 0; i + 4 <= pixels.size(); i += 4) {
    const unsigned alpha = static_cast<uint8_t>(pixels[i + 3]);
    if (alpha == 255) continue;
    for (size_t c = 0; c < 3; ++c) {
      const unsigned value = static_cast<uint8_t>(pixels[i + c]);
      // value * alpha / 255 rounded: 255 is odd, so there are no ties.
      pixels[i + c] = static_cast<std::byte>((value * alpha + 127) / 255);
    }
  }
}

}  // namespace tessel
