#include "channel/block_set.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace tessel {
namespace {

// The words little-endian, then `tail` more bytes, in a block of exactly that size, so that the
// sanitizers see any read past the data.
std::vector<unsigned char> Set(std::initializer_list<uint32_t> words, size_t tail = 0) {
  std::vector<unsigned char> bytes(4 * words.size() + tail, 0x77);
  if (words.size() != 0) std::memcpy(bytes.data(), words.begin(), 4 * words.size());
  return bytes;
}

bool Parse(const std::vector<unsigned char>& set, uint32_t dataSize, uint64_t& claimed) {
  CBlockSetView view;
  return ParseBlockSet(set.data(), dataSize, view, claimed);
}

TEST(BlockSetTest, SizeTableMustAddUpToTheDataSizeWithoutReadingPastIt) {
  uint64_t claimed = 0;
  auto set = Set({1, 10}, 10);
  CBlockSetView view;
  ASSERT_TRUE(ParseBlockSet(set.data(), 18, view, claimed));
  EXPECT_EQ(view.At(0).data(), set.data() + 8);
  EXPECT_EQ(view.At(0).size(), 10u);
  EXPECT_TRUE(view.At(1).empty());
  EXPECT_FALSE(Parse(Set({1, 10}, 11), 19, claimed));
  EXPECT_EQ(claimed, 18u);

  EXPECT_FALSE(Parse(Set({5, 1}), 8, claimed));  // the table runs past the data
  EXPECT_EQ(claimed, 24u);
  EXPECT_FALSE(Parse(Set({0xFFFFFFFF}), 4, claimed));
  EXPECT_FALSE(Parse(Set({}, 3), 3, claimed));
  // Sizes whose 32-bit sum wraps around to the data size.
  ASSERT_EQ(static_cast<uint32_t>(12 + 0xFFFFFFFFull + 13), 24u);
  EXPECT_FALSE(Parse(Set({2, 0xFFFFFFFF, 13}, 12), 24, claimed));
  EXPECT_EQ(claimed, 12 + 0xFFFFFFFFull + 13);
  EXPECT_TRUE(Parse(Set({0}), 4, claimed));
}

TEST(BlockSetTest, WrittenSetsReadBackAndNeverExceedTheCapacity) {
  const unsigned char bytes[] = {1, 2, 3};
  const Block blocks[] = {Block(bytes), Block(), Block(bytes, 1)};
  const size_t total = 4 + 3 * 4 + 4;
  ASSERT_EQ(BlockSetSize(blocks), total);
  std::vector<unsigned char> out(total + 1, 0xEE);
  EXPECT_FALSE(WriteBlockSet(out.data(), total - 1, blocks));
  EXPECT_EQ(out, std::vector<unsigned char>(total + 1, 0xEE));

  ASSERT_TRUE(WriteBlockSet(out.data(), total, blocks));
  EXPECT_EQ(out[total], 0xEE);
  CBlockSetView view;
  uint64_t claimed = 0;
  ASSERT_TRUE(ParseBlockSet(out.data(), total, view, claimed));
  ASSERT_EQ(view.Count(), 3u);
  EXPECT_EQ(std::vector<unsigned char>(view.At(0).begin(), view.At(0).end()),
            std::vector<unsigned char>(bytes, bytes + 3));
  EXPECT_TRUE(view.At(1).empty());
  EXPECT_EQ(view.At(2).size(), 1u);
}

}  // namespace
}  // namespace tessel
