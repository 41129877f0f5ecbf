#pragma once

#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessel::codec_test {

// An image given by the samples it stores, as libpng writes them: one value per channel at the
// image's bit depth, palette indexes for palette images.
struct CSampleImage {
  uint32_t width = 0;
  uint32_t height = 0;
  int colorType = PNG_COLOR_TYPE_RGBA;
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<uint16_t> samples;
  std::vector<png_color> palette;
  std::vector<uint8_t> paletteAlpha;  // tRNS of a palette image
  bool hasColourKey = false;
  png_color_16 colourKey{};  // tRNS of a gray or RGB image

  int Channels() const;
};

// Random samples with both extremes and, with `transparency`, a tRNS chunk that some pixels hit.
CSampleImage MakeSampleImage(int colorType, int bitDepth, bool interlaced, bool transparency,
                             uint32_t width, uint32_t height, uint32_t seed);

// Written with libpng's write API; IDAT chunks carry at most `idatSize` bytes.
std::vector<uint8_t> EncodePng(const CSampleImage& image, size_t idatSize = 8192);

// The premultiplied BGRA the samples stand for, worked out from the samples alone.
std::vector<uint8_t> ExpectedBgra(const CSampleImage& image);

// libpng's simplified reader (straight BGRA), premultiplied afterwards.
bool DecodeSimplified(const std::vector<uint8_t>& png, std::vector<uint8_t>* bgra);

uint8_t Premultiply(unsigned value, unsigned alpha);

// A chunk with its length and CRC.
std::vector<uint8_t> MakeChunk(const char* type, const std::vector<uint8_t>& data);
// Signature and IHDR of an image with the given header fields and nothing after it.
std::vector<uint8_t> MakePngStart(uint32_t width, uint32_t height, int bitDepth, int colorType,
                                  int interlace = 0);
void Append(std::vector<uint8_t>* to, const std::vector<uint8_t>& bytes);

// A private folder under TMPDIR, removed with everything in it.
class CTempDir {
 public:
  CTempDir();
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  ~CTempDir();

  const std::string& Path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

}  // namespace tessel::codec_test
