#include "tests/codec/codec_support.h"

#include <zlib.h>

#include <csetjmp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace tessel::codec_test {
namespace {

uint32_t MaxSample(int bitDepth) {
  return (1u << bitDepth) - 1;
}

uint8_t ScaleTo8(uint32_t value, int bitDepth) {
  if (bitDepth == 16) return static_cast<uint8_t>((value * 255 + 32767) / 65535);
  return static_cast<uint8_t>(value * 255 / MaxSample(bitDepth));
}

std::vector<uint8_t> PackRow(const CSampleImage& image, uint32_t y) {
  const size_t count = size_t{image.width} * image.Channels();
  const uint16_t* samples = image.samples.data() + y * count;
  std::vector<uint8_t> row;
  if (image.bitDepth == 16) {
    for (size_t i = 0; i < count; ++i) {
      row.push_back(static_cast<uint8_t>(samples[i] >> 8));
      row.push_back(static_cast<uint8_t>(samples[i]));
    }
    return row;
  }
  row.assign((count * image.bitDepth + 7) / 8, 0);
  for (size_t i = 0; i < count; ++i) {
    const size_t bit = i * image.bitDepth;
    row[bit / 8] |= static_cast<uint8_t>(samples[i] << (8 - image.bitDepth - bit % 8));
  }
  return row;
}

void WriteToVector(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

bool WritePng(const CSampleImage& image, png_bytepp rows, size_t idatSize,
              std::vector<uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, WriteToVector, nullptr);
  png_set_compression_buffer_size(png, idatSize);
  png_set_IHDR(png, info, image.width, image.height, image.bitDepth, image.colorType,
               image.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!image.palette.empty()) {
    png_set_PLTE(png, info, image.palette.data(), static_cast<int>(image.palette.size()));
  }
  if (!image.paletteAlpha.empty()) {
    png_set_tRNS(png, info, image.paletteAlpha.data(), static_cast<int>(image.paletteAlpha.size()),
                 nullptr);
  }
  if (image.hasColourKey) png_set_tRNS(png, info, nullptr, 0, &image.colourKey);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

void PutBigEndian(std::vector<uint8_t>* to, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) to->push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

int CSampleImage::Channels() const {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGBA:
      return 4;
    default:
      return 1;
  }
}

CSampleImage MakeSampleImage(int colorType, int bitDepth, bool interlaced, bool transparency,
                             uint32_t width, uint32_t height, uint32_t seed) {
  CSampleImage image;
  image.width = width;
  image.height = height;
  image.colorType = colorType;
  image.bitDepth = bitDepth;
  image.interlaced = interlaced;
  std::mt19937 random(seed);
  const int channels = image.Channels();
  uint32_t maxValue = MaxSample(bitDepth);
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    image.palette.resize(bitDepth == 8 ? 200 : maxValue + 1);
    for (png_color& entry : image.palette) {
      entry = {static_cast<png_byte>(random()), static_cast<png_byte>(random()),
               static_cast<png_byte>(random())};
    }
    maxValue = static_cast<uint32_t>(image.palette.size() - 1);
    if (transparency) {
      // Covers part of the palette only: the other entries stay opaque.
      image.paletteAlpha.resize(image.palette.size() / 2 + 1);
      for (uint8_t& alpha : image.paletteAlpha) alpha = static_cast<uint8_t>(random());
      image.paletteAlpha[0] = 0;
      if (image.paletteAlpha.size() > 1) image.paletteAlpha[1] = 255;
    }
  }
  const size_t pixels = size_t{width} * height;
  image.samples.resize(pixels * channels);
  for (uint16_t& sample : image.samples) sample = static_cast<uint16_t>(random() % (maxValue + 1));
  for (int c = 0; c < channels; ++c) {
    image.samples[c] = 0;
    if (pixels > 1) image.samples[channels + c] = static_cast<uint16_t>(maxValue);
  }
  const bool keyed = colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_RGB;
  if (transparency && keyed) {
    image.hasColourKey = true;
    const size_t keyPixel = pixels / 2;
    uint16_t* key = &image.samples[keyPixel * channels];
    image.colourKey.gray = key[0];
    image.colourKey.red = key[0];
    if (channels == 3) {
      image.colourKey.green = key[1];
      image.colourKey.blue = key[2];
    }
    for (size_t p = 3; p < pixels; p += 4) {
      std::copy(key, key + channels, &image.samples[p * channels]);
    }
  }
  return image;
}

std::vector<uint8_t> EncodePng(const CSampleImage& image, size_t idatSize) {
  std::vector<std::vector<uint8_t>> rows;
  std::vector<png_bytep> rowPointers;
  for (uint32_t y = 0; y < image.height; ++y) rows.push_back(PackRow(image, y));
  for (auto& row : rows) rowPointers.push_back(row.data());
  std::vector<uint8_t> out;
  if (!WritePng(image, rowPointers.data(), idatSize, &out)) {
    throw std::runtime_error("libpng could not write the test image");
  }
  return out;
}

uint8_t Premultiply(unsigned value, unsigned alpha) {
  return static_cast<uint8_t>((value * alpha + 127) / 255);
}

std::vector<uint8_t> ExpectedBgra(const CSampleImage& image) {
  const int channels = image.Channels();
  const int depth = image.bitDepth;
  std::vector<uint8_t> bgra;
  for (size_t p = 0; p < size_t{image.width} * image.height; ++p) {
    const uint16_t* s = &image.samples[p * channels];
    unsigned r = 0, g = 0, b = 0, a = 255;
    switch (image.colorType) {
      case PNG_COLOR_TYPE_GRAY:
        r = g = b = ScaleTo8(s[0], depth);
        if (image.hasColourKey && s[0] == image.colourKey.gray) a = 0;
        break;
      case PNG_COLOR_TYPE_GRAY_ALPHA:
        r = g = b = ScaleTo8(s[0], depth);
        a = ScaleTo8(s[1], depth);
        break;
      case PNG_COLOR_TYPE_PALETTE:
        r = image.palette[s[0]].red;
        g = image.palette[s[0]].green;
        b = image.palette[s[0]].blue;
        if (s[0] < image.paletteAlpha.size()) a = image.paletteAlpha[s[0]];
        break;
      case PNG_COLOR_TYPE_RGB:
        r = ScaleTo8(s[0], depth);
        g = ScaleTo8(s[1], depth);
        b = ScaleTo8(s[2], depth);
        if (image.hasColourKey && s[0] == image.colourKey.red && s[1] == image.colourKey.green &&
            s[2] == image.colourKey.blue) {
          a = 0;
        }
        break;
      default:
        r = ScaleTo8(s[0], depth);
        g = ScaleTo8(s[1], depth);
        b = ScaleTo8(s[2], depth);
        a = ScaleTo8(s[3], depth);
    }
    bgra.insert(bgra.end(),
                {Premultiply(b, a), Premultiply(g, a), Premultiply(r, a), static_cast<uint8_t>(a)});
  }
  return bgra;
}

bool DecodeSimplified(const std::vector<uint8_t>& png, std::vector<uint8_t>* bgra) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return false;
  image.format = PNG_FORMAT_BGRA;
  bgra->assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, bgra->data(), 0, nullptr)) {
    png_image_free(&image);
    return false;
  }
  for (size_t i = 0; i < bgra->size(); i += 4) {
    for (int c = 0; c < 3; ++c) (*bgra)[i + c] = Premultiply((*bgra)[i + c], (*bgra)[i + 3]);
  }
  return true;
}

std::vector<uint8_t> MakeChunk(const char* type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> chunk;
  PutBigEndian(&chunk, static_cast<uint32_t>(data.size()));
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), data.begin(), data.end());
  const uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4));
  PutBigEndian(&chunk, static_cast<uint32_t>(crc));
  return chunk;
}

std::vector<uint8_t> MakePngStart(uint32_t width, uint32_t height, int bitDepth, int colorType,
                                  int interlace) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  PutBigEndian(&ihdr, width);
  PutBigEndian(&ihdr, height);
  ihdr.insert(ihdr.end(), {static_cast<uint8_t>(bitDepth), static_cast<uint8_t>(colorType), 0, 0,
                           static_cast<uint8_t>(interlace)});
  Append(&png, MakeChunk("IHDR", ihdr));
  return png;
}

void Append(std::vector<uint8_t>* to, const std::vector<uint8_t>& bytes) {
  to->insert(to->end(), bytes.begin(), bytes.end());
}

CTempDir::CTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/tessel-codec-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

CTempDir::~CTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string CTempDir::Write(const std::string& name, const std::string& content) const {
  const std::string path = path_ + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

}  // namespace tessel::codec_test
