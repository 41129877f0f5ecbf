#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "wire/block_set.h"
#include "wire/image_descriptor.h"
#include "wire/wide_text.h"

namespace tessel {
namespace {

std::vector<unsigned char> Words(std::initializer_list<uint32_t> words) {
  std::vector<unsigned char> bytes;
  for (uint32_t word : words) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
  }
  return bytes;
}

TEST(WireBlockSetTest, ACappedPeerIsRefusedByItsCountBeforeItsSizesAreRead) {
  CBlockSetView view;
  uint64_t claimed = 0;
  // Three empty blocks: well formed, and exactly as many as a cap of three allows.
  std::vector<unsigned char> set = Words({3, 0, 0, 0});
  EXPECT_EQ(ParseBlockSet(set.data(), 16, 3, view, claimed), BlockSetFault::kNone);
  EXPECT_EQ(view.Count(), 3u);
  EXPECT_EQ(ParseBlockSet(set.data(), 16, 2, view, claimed), BlockSetFault::kTooManyBlocks);
  EXPECT_EQ(claimed, 3u);
  EXPECT_EQ(view.Count(), 0u);
  // A count of four billion in a 4-byte area: refused by the cap, before any table is sized.
  set = Words({0xFFFFFFFFu});
  EXPECT_EQ(ParseBlockSet(set.data(), 4, 16, view, claimed), BlockSetFault::kTooManyBlocks);
  // Under the cap, sizes that do not add up are still refused, with what they claim.
  set = Words({1, 9, 0});
  EXPECT_EQ(ParseBlockSet(set.data(), 12, 16, view, claimed), BlockSetFault::kSizeMismatch);
  EXPECT_EQ(claimed, 17u);
}

TEST(WireTextTest, NamesRoundTripAndHalfUnitsOrMissingEndsAreRefused) {
  const std::u16string name = u"d\u00e9j\u00e0 \U0001F600.svg";
  const std::vector<std::byte> bytes = WideTextBytes(name);
  ASSERT_EQ(bytes.size(), (name.size() + 1) * 2);
  const Block block(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  std::u16string read = u"untouched";
  ASSERT_TRUE(ReadWideText(block, read));
  EXPECT_EQ(read, name);
  // Text after the first NUL is not part of the name.
  std::vector<unsigned char> padded = {'a', 0, 0, 0, 'b', 0};
  ASSERT_TRUE(ReadWideText(Block(padded.data(), padded.size()), read));
  EXPECT_EQ(read, u"a");
  read = u"untouched";
  EXPECT_FALSE(ReadWideText(block.first(bytes.size() - 1), read));  // odd: a half unit
  EXPECT_FALSE(ReadWideText(block.first(bytes.size() - 2), read));  // no NUL
  EXPECT_EQ(read, u"untouched");
}

TEST(WireTextTest, ATruncatedSequenceIsOneReplacementOnTheWire) {
  // What a client sends for a name cut inside a character: one U+FFFD for the cut sequence, as
  // the worker decodes it, not one per byte.
  const std::vector<std::byte> bytes = WideTextBytes(AnsiToWide("a\xE6\x97"));
  const std::vector<std::byte> expected = {std::byte{'a'},  std::byte{0}, std::byte{0xFD},
                                           std::byte{0xFF}, std::byte{0}, std::byte{0}};
  EXPECT_EQ(bytes, expected);
}

TEST(RasterBytesTest, SizesAreCheckedAgainstTheLimitWithoutWrapping) {
  uint64_t bytes = 0;
  EXPECT_TRUE(TesselRasterBytes(16384, 16384, uint64_t{1} << 30, &bytes));  // exactly the limit
  EXPECT_EQ(bytes, uint64_t{1} << 30);
  EXPECT_FALSE(TesselRasterBytes(16384, 16385, uint64_t{1} << 30, &bytes));
  EXPECT_EQ(bytes, uint64_t{16384} * 16385 * 4);
  // 2^32 - 1 on both sides: the product times 4 would wrap 64 bits to a small number.
  EXPECT_FALSE(TesselRasterBytes(UINT32_MAX, UINT32_MAX, UINT64_MAX - 1, &bytes));
  EXPECT_EQ(bytes, UINT64_MAX);
  EXPECT_FALSE(TesselRasterBytes(65536, 16384, UINT32_MAX, &bytes));  // 2^32 bytes
}

}  // namespace
}  // namespace tessel
