// The fast PNG path against libpng's path: whatever the fast path decides itself (pixels or a
// refusal) must be exactly what libpng's path delivers, and the common files must not be handed
// off at all.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <tuple>

#include "codec/png_decoder.h"
#include "codec/png_fast_decoder.h"
#include "codec/unfilter.h"
#include "tests/codec/codec_support.h"

namespace tessel::codec_test {
namespace {

using codec::PngFastResult;

struct COutcome {
  bool ok = false;
  std::string source, message;
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
  bool operator==(const COutcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const COutcome& o) {
  return out << (o.ok ? "decoded " : "refused ") << o.width << 'x' << o.height << " [" << o.source
             << "] " << o.message << " (" << o.pixels.size() << " bytes)";
}

COutcome Collect(bool ok, const ImageDescriptor& d, void* pixels, uint32_t size) {
  COutcome o{ok, d.ErrorSource, d.ErrorMessage, ok ? d.Width : 0, ok ? d.Height : 0, {}};
  if (pixels != nullptr) o.pixels.assign((uint8_t*)pixels, (uint8_t*)pixels + size);
  std::free(pixels);
  return o;
}

COutcome WithLibpng(const std::vector<uint8_t>& png) {
  ImageDescriptor d{};
  void* pixels = nullptr;
  uint32_t size = 0;
  const bool ok = codec::DecodePngWithLibpng(png.data(), png.size(), &d, &pixels, &size);
  return Collect(ok, d, pixels, size);
}

// Checks the fast path's decision against libpng's path and returns it.
PngFastResult ExpectAgreement(const std::vector<uint8_t>& png) {
  ImageDescriptor d{};
  void* pixels = nullptr;
  uint32_t size = 0;
  const PngFastResult verdict = codec::DecodePngFast(png.data(), png.size(), &d, &pixels, &size);
  const COutcome fast = Collect(verdict == PngFastResult::kDecoded, d, pixels, size);
  if (verdict == PngFastResult::kHandedOff) {
    EXPECT_EQ(fast, COutcome{}) << "a file handed off leaves nothing behind";
  } else {
    EXPECT_EQ(fast, WithLibpng(png));
  }
  return verdict;
}

size_t FindChunk(const std::vector<uint8_t>& png, const char* type) {
  for (size_t at = 8; at + 8 <= png.size();) {
    if (std::memcmp(&png[at + 4], type, 4) == 0) return at;
    at += 12 + ((size_t{png[at]} << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3]);
  }
  return png.size();
}

std::vector<uint8_t> InsertBefore(std::vector<uint8_t> png, const char* before, const char* type,
                                  const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> chunk;
  AppendChunk(&chunk, type, payload);  // no signature: FixCrcs skips nothing it needs
  png.insert(png.begin() + long(FindChunk(png, before)), chunk.begin(), chunk.end());
  FixCrcs(&png);
  return png;
}

// A non-interlaced image of raw filtered rows, in one IDAT.
std::vector<uint8_t> RawPng(uint32_t width, uint32_t height, int depth, int colorType,
                            const std::vector<uint8_t>& filtered) {
  std::vector<uint8_t> png = MakePngStart(width, height, depth, colorType);
  std::vector<uint8_t> z(compressBound(uLong(filtered.size())));
  uLongf size = z.size();
  compress2(z.data(), &size, filtered.data(), uLong(filtered.size()), 9);
  z.resize(size);
  AppendChunk(&png, "IDAT", z);
  AppendChunk(&png, "IEND", {});
  return png;
}

using CFormat = std::tuple<int, int>;  // colour type, bit depth

class FastPathFormatTest : public testing::TestWithParam<CFormat> {};

TEST_P(FastPathFormatTest, EveryFilterTransparencyAndSizeDecodesItselfAsLibpngDoes) {
  const auto [type, depth] = GetParam();
  const std::pair<uint32_t, uint32_t> sizes[] = {{29, 13}, {1, 1}, {3, 9}, {67, 5}};
  const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB,   PNG_FILTER_UP,
                         PNG_FILTER_AVG,  PNG_FILTER_PAETH, PNG_ALL_FILTERS};
  for (const auto& [width, height] : sizes) {
    for (int filter : filters) {
      for (bool trns : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << width << 'x' << height << " filter " << filter << " tRNS " << trns);
        const CSampleImage image = MakeSampleImage(type, depth, false, trns, width, height, width);
        // Small IDAT chunks: the stream crosses chunk boundaries.
        EXPECT_EQ(ExpectAgreement(EncodePng(image, 61, filter)), PngFastResult::kDecoded);
      }
    }
  }
  const CSampleImage adam7 = MakeSampleImage(type, depth, true, false, 9, 9, 1);
  EXPECT_EQ(ExpectAgreement(EncodePng(adam7)), PngFastResult::kHandedOff);
}

INSTANTIATE_TEST_SUITE_P(Formats, FastPathFormatTest,
                         testing::Values(CFormat{0, 1}, CFormat{0, 2}, CFormat{0, 4}, CFormat{0, 8},
                                         CFormat{0, 16}, CFormat{2, 8}, CFormat{2, 16},
                                         CFormat{3, 1}, CFormat{3, 2}, CFormat{3, 4}, CFormat{3, 8},
                                         CFormat{4, 8}, CFormat{4, 16}, CFormat{6, 8},
                                         CFormat{6, 16}),
                         [](const auto& info) {
                           return "Type" + std::to_string(std::get<0>(info.param)) + "Depth" +
                                  std::to_string(std::get<1>(info.param));
                         });

TEST(FastPathTest, ShortPalettesAndKeysOutsideTheSampleRangeFollowLibpng) {
  // Indices past a 3-entry palette, with and without alpha for some entries.
  std::vector<uint8_t> palette =
      EncodePng(MakeSampleImage(PNG_COLOR_TYPE_PALETTE, 4, false, false, 31, 7, 3));
  const size_t plte = FindChunk(palette, "PLTE");
  palette.erase(palette.begin() + long(plte), palette.begin() + long(plte) + 12 + 48);
  palette = InsertBefore(palette, "IDAT", "PLTE", {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(ExpectAgreement(palette), PngFastResult::kDecoded);
  EXPECT_EQ(ExpectAgreement(InsertBefore(palette, "IDAT", "tRNS", {0, 128})),
            PngFastResult::kDecoded);
  // libpng compares a key cut to the sample's bits; the writer refuses such keys, so they are
  // put in by hand.
  for (int depth : {1, 2, 4, 8}) {
    const auto gray =
        EncodePng(MakeSampleImage(PNG_COLOR_TYPE_GRAY, depth, false, false, 40, 6, 9));
    for (uint16_t key : {0x0101, 0xFFFF, 0x0003, 0x1F02}) {
      SCOPED_TRACE(testing::Message() << depth << " key " << key);
      EXPECT_EQ(
          ExpectAgreement(InsertBefore(gray, "IDAT", "tRNS", {uint8_t(key >> 8), uint8_t(key)})),
          PngFastResult::kDecoded);
    }
  }
  CSampleImage rgb = MakeSampleImage(PNG_COLOR_TYPE_RGB, 8, false, true, 5, 5, 4);
  const png_color_16 key = *rgb.key;
  rgb.key.reset();
  const std::vector<uint8_t> bytes = {1, uint8_t(key.red), 2, uint8_t(key.green),
                                      3, uint8_t(key.blue)};
  EXPECT_EQ(ExpectAgreement(InsertBefore(EncodePng(rgb), "IDAT", "tRNS", bytes)),
            PngFastResult::kDecoded);
}

// Files with ancillary chunks, a palette, a key and many IDAT chunks, damaged everywhere.
class DamagedFileTest : public testing::TestWithParam<int> {};

std::vector<uint8_t> DamageSample(int which) {
  switch (which) {
    case 0: {
      auto png = EncodePng(MakeSampleImage(PNG_COLOR_TYPE_RGBA, 8, false, false, 24, 24, 5), 300);
      png = InsertBefore(png, "IDAT", "gAMA", {0, 0, 0xB1, 0x8F});
      return InsertBefore(png, "IDAT", "tEXt", {'a', 0, 'b'});
    }
    case 1:
      return EncodePng(MakeSampleImage(PNG_COLOR_TYPE_PALETTE, 4, false, true, 30, 12, 6), 50);
    case 2:
      return EncodePng(MakeSampleImage(PNG_COLOR_TYPE_GRAY, 16, false, true, 9, 11, 7), 64);
    default:
      return EncodePng(MakeSampleImage(PNG_COLOR_TYPE_RGB, 16, false, true, 13, 6, 8), 100);
  }
}

TEST_P(DamagedFileTest, EveryCutAndFlippedBitIsDecidedAsLibpngDecidesIt) {
  const std::vector<uint8_t> png = DamageSample(GetParam());
  const size_t dataStart = FindChunk(png, "IDAT");
  ASSERT_LT(dataStart, png.size());
  EXPECT_EQ(ExpectAgreement(png), PngFastResult::kDecoded);
  for (size_t length = 0; length < png.size(); ++length) {
    SCOPED_TRACE("cut at " + std::to_string(length));
    const PngFastResult verdict =
        ExpectAgreement(std::vector<uint8_t>(png.begin(), png.begin() + long(length)));
    // Before the image data libpng reads every chunk whole: the fast path knows the answer.
    if (length < dataStart + 8) {
      EXPECT_EQ(verdict, PngFastResult::kRefused);
    }
  }
  for (size_t at = 8; at < png.size(); ++at) {
    for (uint8_t flip : {0x01, 0x80}) {
      SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int(flip));
      std::vector<uint8_t> damaged = png;
      damaged[at] ^= flip;
      ExpectAgreement(damaged);
      FixCrcs(&damaged);  // so that the damage reaches the decoders
      ExpectAgreement(damaged);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, DamagedFileTest, testing::Range(0, 4));

TEST(FastPathTest, DecidesDataThatIsShortLongOrOddlyEndedAsLibpngDoes) {
  const uint32_t width = 6, height = 4;
  std::vector<uint8_t> rows((width * 3 + 1) * height, 0x40);
  for (size_t y = 0; y < height; ++y) rows[y * (width * 3 + 1)] = uint8_t(y % 5);
  const std::vector<uint8_t> good = RawPng(width, height, 8, PNG_COLOR_TYPE_RGB, rows);
  EXPECT_EQ(ExpectAgreement(good), PngFastResult::kDecoded);

  std::vector<uint8_t> longer = rows;
  longer.insert(longer.end(), rows.begin(), rows.begin() + 10);
  EXPECT_EQ(ExpectAgreement(RawPng(width, height - 1, 8, PNG_COLOR_TYPE_RGB, rows)),
            PngFastResult::kHandedOff);  // libpng forgives extra data
  EXPECT_EQ(ExpectAgreement(RawPng(width, height + 1, 8, PNG_COLOR_TYPE_RGB, rows)),
            PngFastResult::kRefused);
  EXPECT_EQ(WithLibpng(RawPng(width, height + 1, 8, PNG_COLOR_TYPE_RGB, rows)).message,
            "Not enough image data");
  EXPECT_TRUE(WithLibpng(RawPng(width, height, 8, PNG_COLOR_TYPE_RGB, longer)).ok);

  std::vector<uint8_t> badFilter = rows;
  badFilter[2 * (width * 3 + 1)] = 5;
  EXPECT_EQ(ExpectAgreement(RawPng(width, height, 8, PNG_COLOR_TYPE_RGB, badFilter)),
            PngFastResult::kRefused);

  // libpng skips the Adler-32 and reads nothing after the image data.
  std::vector<uint8_t> adler = good;
  const size_t idat = FindChunk(adler, "IDAT");
  adler[FindChunk(adler, "IEND") - 5] ^= 0x55;
  FixCrcs(&adler);
  EXPECT_EQ(ExpectAgreement(adler), PngFastResult::kDecoded);
  std::vector<uint8_t> noEnd(good.begin(), good.end() - 12);
  EXPECT_EQ(ExpectAgreement(noEnd), PngFastResult::kDecoded);
  noEnd.insert(noEnd.end(), {0, 0, 0, 9, 'I', 'D'});
  EXPECT_EQ(ExpectAgreement(noEnd), PngFastResult::kDecoded);
  std::vector<uint8_t> badCrc = good;
  badCrc[FindChunk(badCrc, "IEND") - 1] ^= 1;
  ExpectAgreement(badCrc);
  EXPECT_EQ(WithLibpng(badCrc).message, "IDAT: CRC error");
  EXPECT_LT(idat, good.size());
}

TEST(UnfilterTest, VectorRowsMatchThePlainCode) {
  std::mt19937 random(3);
  for (size_t bpp = 1; bpp <= 8; ++bpp) {
    for (uint8_t filter = codec::kFilterSub; filter < codec::kFilterCount; ++filter) {
      for (size_t pixels : {1u, 2u, 5u, 17u, 100u}) {
        const size_t bytes = pixels * bpp;
        std::vector<uint8_t> previous(bytes), row(bytes);
        for (auto& b : previous) b = uint8_t(random());
        for (auto& b : row) b = uint8_t(random() % 3 == 0 ? 0 : random());
        std::vector<uint8_t> expected = row;
        codec::UnfilterRowScalar(filter, expected.data(), previous.data(), bytes, bpp);
        codec::UnfilterRow(filter, row.data(), previous.data(), bytes, bpp);
        ASSERT_EQ(row, expected) << "bpp " << bpp << " filter " << int(filter) << " x" << pixels;
      }
    }
  }
}

}  // namespace
}  // namespace tessel::codec_test
