#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codec/tessel_codec.h"
#include "tests/codec/codec_support.h"

namespace tessel::codec_test {
namespace {

// The result of one TesselLoadPNG call, with the pixels owned.
struct CDecoded {
  bool ok = false;
  alignas(8) ImageDescriptor descriptor{};  // so that gtest may bind references to fields
  std::vector<uint8_t> pixels;
  bool pixelsNull = true;
  uint32_t pixelsSize = 0;
};

CDecoded Decode(const void* data, size_t length) {
  CDecoded result;
  void* pixels = reinterpret_cast<void*>(1);  // must be overwritten either way
  result.pixelsSize = 12345;
  result.ok = TesselLoadPNG(data, static_cast<uint32_t>(length), &result.descriptor, &pixels,
                            &result.pixelsSize) != 0;
  result.pixelsNull = pixels == nullptr;
  if (pixels != nullptr) {
    auto* bytes = static_cast<uint8_t*>(pixels);
    result.pixels.assign(bytes, bytes + result.pixelsSize);
    std::free(pixels);
  }
  return result;
}

CDecoded Decode(const std::vector<uint8_t>& png) {
  return Decode(png.data(), png.size());
}

// A failure leaves no pixels and two texts, both terminated inside their fields.
void ExpectCleanFailure(const CDecoded& decoded) {
  EXPECT_FALSE(decoded.ok);
  EXPECT_TRUE(decoded.pixelsNull);
  EXPECT_EQ(decoded.pixelsSize, 0u);
  const ImageDescriptor& d = decoded.descriptor;
  EXPECT_GT(strnlen(d.ErrorSource, sizeof d.ErrorSource), 0u);
  EXPECT_LT(strnlen(d.ErrorSource, sizeof d.ErrorSource), sizeof d.ErrorSource);
  EXPECT_GT(strnlen(d.ErrorMessage, sizeof d.ErrorMessage), 0u);
  EXPECT_LT(strnlen(d.ErrorMessage, sizeof d.ErrorMessage), sizeof d.ErrorMessage);
}

struct CFormat {
  int colorType;
  int bitDepth;
  bool transparency;  // a tRNS chunk
};

std::string FormatName(const CFormat& f, bool interlaced) {
  static const char* const kTypes[] = {"Gray", "", "Rgb", "Palette", "GrayAlpha", "", "Rgba"};
  return std::string(kTypes[f.colorType]) + std::to_string(f.bitDepth) +
         (f.transparency ? "Trns" : "") + (interlaced ? "Adam7" : "");
}

void PrintTo(const CFormat& format, std::ostream* out) {
  *out << FormatName(format, false);
}

std::vector<CFormat> AllFormats() {
  std::vector<CFormat> formats;
  for (int depth : {1, 2, 4, 8, 16}) {
    for (bool trns : {false, true}) formats.push_back({PNG_COLOR_TYPE_GRAY, depth, trns});
  }
  for (int depth : {1, 2, 4, 8}) {
    for (bool trns : {false, true}) formats.push_back({PNG_COLOR_TYPE_PALETTE, depth, trns});
  }
  for (int depth : {8, 16}) {
    for (bool trns : {false, true}) formats.push_back({PNG_COLOR_TYPE_RGB, depth, trns});
    formats.push_back({PNG_COLOR_TYPE_GRAY_ALPHA, depth, false});
    formats.push_back({PNG_COLOR_TYPE_RGBA, depth, false});
  }
  return formats;
}

class PngFormatTest : public ::testing::TestWithParam<std::tuple<CFormat, bool>> {};

TEST_P(PngFormatTest, PixelsAreThePremultipliedBgraOfTheStoredSamples) {
  const auto [format, interlaced] = GetParam();
  // Odd sizes leave some Adam7 passes short or empty.
  for (const auto& [width, height] : {std::pair{29u, 13u}, {1u, 1u}, {3u, 9u}, {9u, 2u}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    const CSampleImage image = MakeSampleImage(format.colorType, format.bitDepth, interlaced,
                                               format.transparency, width, height, width * 7919);
    const std::vector<uint8_t> png = EncodePng(image);
    const CDecoded decoded = Decode(png);
    ASSERT_TRUE(decoded.ok) << decoded.descriptor.ErrorSource << ": "
                            << decoded.descriptor.ErrorMessage;
    EXPECT_EQ(decoded.descriptor.Width, width);
    EXPECT_EQ(decoded.descriptor.Height, height);
    EXPECT_EQ(decoded.descriptor.VectorFlag, 0u);
    ASSERT_EQ(decoded.pixelsSize, width * height * 4);
    EXPECT_EQ(decoded.pixels, ExpectedBgra(image));

    // libpng's simplified reader converts 16-bit samples through linear light, so it is a second
    // reference for the 8-bit and smaller formats only.
    if (format.bitDepth <= 8) {
      std::vector<uint8_t> reference;
      ASSERT_TRUE(DecodeSimplified(png, &reference));
      EXPECT_EQ(decoded.pixels, reference);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllColourTypesAndDepths, PngFormatTest,
                         ::testing::Combine(::testing::ValuesIn(AllFormats()), ::testing::Bool()),
                         [](const auto& info) {
                           return FormatName(std::get<0>(info.param), std::get<1>(info.param));
                         });

TEST(PngSixteenBitTest, EveryValueRoundsToTheNearestEightBitValue) {
  CSampleImage image = MakeSampleImage(PNG_COLOR_TYPE_GRAY, 16, false, false, 256, 256, 1);
  for (uint32_t v = 0; v < 65536; ++v) image.samples[v] = static_cast<uint16_t>(v);
  const CDecoded decoded = Decode(EncodePng(image));
  ASSERT_TRUE(decoded.ok);
  for (uint32_t v = 0; v < 65536; ++v) {
    const unsigned expected = (v * 255 + 32767) / 65535;
    ASSERT_EQ(decoded.pixels[v * 4], expected) << "sample " << v;
  }
}

TEST(PngHostileTest, HugeHeaderIsRefusedBeforeDecoding) {
  std::vector<uint8_t> png = MakePngStart(100000, 100000, 8, PNG_COLOR_TYPE_RGBA);
  Append(&png, MakeChunk("IDAT", {0x78, 0x9c, 0x03, 0x00}));
  Append(&png, MakeChunk("IEND", {}));
  const CDecoded decoded = Decode(png);
  ExpectCleanFailure(decoded);
  EXPECT_NE(std::string(decoded.descriptor.ErrorMessage).find("100000 x 100000"), std::string::npos)
      << decoded.descriptor.ErrorMessage;

  // Just over 32 bits of pixel bytes is refused; the header alone decides, even when its CRC is
  // damaged as well.
  png = MakePngStart(32768, 32768, 1, PNG_COLOR_TYPE_GRAY);
  png[29] ^= 0xff;
  const CDecoded justOver = Decode(png);
  ExpectCleanFailure(justOver);
  EXPECT_NE(std::string(justOver.descriptor.ErrorMessage).find("4294967295"), std::string::npos)
      << justOver.descriptor.ErrorMessage;
}

TEST(PngHostileTest, ImageWithinTheLimitButWithoutMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#else
  // 4294967292 bytes of pixels are allowed, but not under a 1 GiB address-space limit.
  std::vector<uint8_t> png = MakePngStart(0x3FFFFFFF, 1, 8, PNG_COLOR_TYPE_RGBA);
  Append(&png, MakeChunk("IEND", {}));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{1ul << 30, 1ul << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    const CDecoded decoded = Decode(png);
    const bool clean = !decoded.ok && decoded.pixelsNull && decoded.descriptor.ErrorMessage[0];
    _exit(clean ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

TEST(PngHostileTest, EveryTruncationFailsCleanly) {
  const CSampleImage image = MakeSampleImage(PNG_COLOR_TYPE_RGBA, 8, true, false, 24, 24, 5);
  const std::vector<uint8_t> png = EncodePng(image, 300);  // several IDAT chunks
  // All image data sits before the 12-byte IEND chunk.
  for (size_t length = 0; length < png.size() - 12; ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    ExpectCleanFailure(Decode(png.data(), length));
  }
  const CDecoded whole = Decode(png);
  ASSERT_TRUE(whole.ok);
  EXPECT_EQ(whole.pixels, ExpectedBgra(image));
}

TEST(PngHostileTest, DamagedDataFailsWithTextsThatNameTheProblem) {
  const std::vector<uint8_t> png =
      EncodePng(MakeSampleImage(PNG_COLOR_TYPE_RGB, 8, false, false, 16, 16, 9));

  std::vector<uint8_t> badIhdrCrc = png;
  badIhdrCrc[17] ^= 0x01;  // a width byte; CRC no longer matches
  CDecoded decoded = Decode(badIhdrCrc);
  ExpectCleanFailure(decoded);
  EXPECT_STREQ(decoded.descriptor.ErrorMessage, "IHDR: CRC error");

  std::vector<uint8_t> garbage(500);
  std::mt19937 random(3);
  for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random());
  decoded = Decode(garbage);
  ExpectCleanFailure(decoded);
  EXPECT_NE(std::string(decoded.descriptor.ErrorMessage).find("not a PNG image"),
            std::string::npos);

  // Valid chunks around a zlib stream that is not one.
  std::vector<uint8_t> badStream = MakePngStart(16, 16, 8, PNG_COLOR_TYPE_RGB);
  Append(&badStream, MakeChunk("IDAT", std::vector<uint8_t>(64, 0xAB)));
  Append(&badStream, MakeChunk("IEND", {}));
  decoded = Decode(badStream);
  ExpectCleanFailure(decoded);
  EXPECT_STREQ(decoded.descriptor.ErrorSource, "PNG decoder, image data");

  ExpectCleanFailure(Decode(png.data(), 0));
  ExpectCleanFailure(Decode(nullptr, 0));
  ExpectCleanFailure(Decode(nullptr, 100));
  // A zero width is a header fault libpng names.
  std::vector<uint8_t> zeroWidth = MakePngStart(0, 16, 8, PNG_COLOR_TYPE_RGB);
  Append(&zeroWidth, MakeChunk("IEND", {}));
  ExpectCleanFailure(Decode(zeroWidth));
}

}  // namespace
}  // namespace tessel::codec_test
