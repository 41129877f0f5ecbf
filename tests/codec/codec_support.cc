#include "tests/codec/codec_support.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

namespace tessel::codec_test {

static void AppendTo(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

CSampleImage MakeSampleImage(int colorType, int bitDepth, bool interlaced, bool transparency,
                             uint32_t width, uint32_t height, uint32_t seed) {
  CSampleImage image{width, height, colorType, std::min(bitDepth, 8), interlaced};
  std::mt19937 random(seed);
  const size_t row = image.RowBytes(), pixel = std::max<size_t>(1, row / width);
  for (size_t i = 0; i < row * height; ++i) image.rows.push_back(uint8_t(random()));
  if (row >= 2 * pixel)
    std::fill_n(&image.rows[0], pixel, 0), std::fill_n(&image.rows[pixel], pixel, 0xFF);
  const uint8_t* k = &image.rows[(height - 1) * row];
  const auto key = [&](int i) {
    return png_uint_16(bitDepth < 8 ? k[0] >> (8 - bitDepth) : k[i] * (bitDepth == 16 ? 257 : 1));
  };
  if (transparency && (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_RGB)) {
    image.key = png_color_16{0, key(0), key(colorType / 2), key(colorType), key(0)};
  }
  for (size_t i = 0; colorType == PNG_COLOR_TYPE_PALETTE && i < (1u << bitDepth); ++i) {
    image.palette.push_back({png_byte(random()), png_byte(random()), png_byte(random())});
    if (transparency && i <= (1u << bitDepth) / 2)
      image.paletteAlpha.push_back(i < 2 ? 255 * i : random());
  }
  for (size_t i = image.rows.size(); bitDepth == 16 && i-- > 0;) {
    image.rows.insert(image.rows.begin() + i, image.rows[i]);
  }
  image.bitDepth = bitDepth;
  return image;
}

std::vector<uint8_t> EncodePng(const CSampleImage& image, size_t idatSize, int filters) {
  std::vector<png_bytep> rows;
  for (size_t at = 0; at < image.rows.size(); at += image.RowBytes()) {
    rows.push_back(const_cast<uint8_t*>(&image.rows[at]));
  }
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng could not write the test image");
  png_set_write_fn(png, &out, AppendTo, nullptr);
  png_set_compression_buffer_size(png, idatSize);
  if (filters != 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_set_IHDR(png, info, image.width, image.height, image.bitDepth, image.colorType,
               image.interlaced, 0, 0);
  if (!image.palette.empty()) png_set_PLTE(png, info, image.palette.data(), image.palette.size());
  if (!image.paletteAlpha.empty()) {
    png_set_tRNS(png, info, image.paletteAlpha.data(), image.paletteAlpha.size(), nullptr);
  }
  if (image.key) png_set_tRNS(png, info, nullptr, 0, &*image.key);
  png_set_rows(png, info, rows.data());
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool DecodeSimplified(const std::vector<uint8_t>& png, std::vector<uint8_t>* bgra) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return false;
  image.format = PNG_FORMAT_BGRA;
  bgra->assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, bgra->data(), 0, nullptr)) return false;
  for (size_t i = 0; i < bgra->size(); i += 4) {
    for (int c = 0; c < 3; ++c) (*bgra)[i + c] = Premultiply((*bgra)[i + c], (*bgra)[i + 3]);
  }
  return true;
}

std::vector<uint8_t> MakePngStart(uint32_t width, uint32_t height, int bitDepth, int colorType,
                                  int interlace) {
  uint8_t png[33] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  const uint32_t size[] = {htonl(width), htonl(height)};
  std::memcpy(png + 16, size, 8);
  const uint8_t fields[] = {uint8_t(bitDepth), uint8_t(colorType), 0, 0, uint8_t(interlace)};
  std::memcpy(png + 24, fields, 5);
  const uint32_t crc = htonl(uint32_t(crc32(0, png + 12, 17)));
  std::memcpy(png + 29, &crc, 4);
  return std::vector<uint8_t>(png, png + sizeof png);
}

void AppendChunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& payload) {
  const uint32_t length = htonl(uint32_t(payload.size()));
  png->insert(png->end(), (const uint8_t*)&length, (const uint8_t*)&length + 4);
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), payload.begin(), payload.end());
  png->resize(png->size() + 4);
  FixCrcs(png);
}

void FixCrcs(std::vector<uint8_t>* png) {
  for (size_t at = 8; at + 12 <= png->size();) {
    uint32_t field;
    std::memcpy(&field, &(*png)[at], 4);
    const size_t length = ntohl(field);
    if (length > png->size() - at - 12) break;
    const uint32_t crc = htonl(uint32_t(crc32(0, &(*png)[at + 4], uInt(length + 4))));
    std::memcpy(&(*png)[at + 8 + length], &crc, 4);
    at += length + 12;
  }
}

}  // namespace tessel::codec_test
