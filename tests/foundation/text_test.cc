#include "foundation/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/process.h"

namespace tessel {

static std::u16string Decode(std::initializer_list<unsigned char> bytes) {
  return AnsiToWide(std::string(bytes.begin(), bytes.end()));
}

TEST(AnsiToWide, DecodesEveryLengthAndReplacesWhatIsInvalid) {
  EXPECT_EQ(Decode({0xE2, 0x82, 0xAC}), u"\u20AC");
  EXPECT_EQ(Decode({0xC3, 0xA9}), u"\u00E9");
  EXPECT_EQ(Decode({0xF0, 0x9F, 0x98, 0x80}), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Decode({0xF4, 0x8F, 0xBF, 0xBF}), (std::u16string{0xDBFF, 0xDFFF}));
  EXPECT_EQ(AnsiTextToWide("ab\0cd"), u"ab");
  EXPECT_EQ(AnsiTextToWide(nullptr), u"");
  // One U+FFFD for each maximal ill-formed subsequence.
  EXPECT_EQ(Decode({'a', 0xFF, 'b'}), u"a\uFFFDb");
  EXPECT_EQ(Decode({0xC0, 0xAF}), u"\uFFFD\uFFFD");              // overlong '/'
  EXPECT_EQ(Decode({0xE0, 0x80, 0xAF}), u"\uFFFD\uFFFD\uFFFD");  // overlong, three bytes
  EXPECT_EQ(Decode({0xED, 0xA0, 0x80}), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Decode({0xF4, 0x90, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Decode({0xE2, 0x82}), u"\uFFFD");                                // cut short at the end
  EXPECT_EQ(Decode({0xF0, 0x9F, 0x98, 0xC3, 0xA9}), u"\uFFFD\u00E9");  // cut short by a new one
}

TEST(WideToUtf8, EncodesPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(WideToUtf8(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D}), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::u16string{0xDE00, 'z'}), "\xEF\xBF\xBDz");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(UpperCaseTable, MapsSmallLettersAndIsBuiltOnceUnderConcurrentFirstUse) {
  const std::pair<int, int> upper[] = {
      {'a', 'A'},   {'z', 'Z'},   {0xE0, 0xC0}, {0xFC, 0xDC}, {0xFF, 0xDF}, {0xB8, 0xA8},
      {'A', 'A'},   {'Z', 'Z'},   {'0', '0'},   {'9', '9'},   {'@', '@'},   {'[', '['},
      {'`', '`'},   {'{', '{'},   {0x00, 0x00}, {0x7F, 0x7F}, {0xA8, 0xA8}, {0xB9, 0xB9},
      {0xBF, 0xBF}, {0xC0, 0xC0}, {0xDF, 0xDF}};  // capitals and the rest stay
  for (auto [from, to] : upper) EXPECT_EQ(UpperCaseTable()[from], to) << from;
  EXPECT_EQ(ToUpperHex("\x00\xAB\xFF", 3), "00ABFF");
  EXPECT_EQ(UpperCaseTableBuilds(), 1u);
  // This process used the table early on; a fresh child program has not when its threads start.
  for (int round = 0; round < 50; ++round) {
    FILE* child = ::popen(("'" + ExecutableFolder() + "child_upper_case'").c_str(), "r");
    ASSERT_NE(child, nullptr);
    char line[32] = {};
    const bool read = std::fgets(line, sizeof line, child) != nullptr;
    const int status = ::pclose(child);
    ASSERT_TRUE(read && status == 0) << "round " << round << ", status " << status;
    EXPECT_STREQ(line, "Q 0 1\n") << "round " << round;
  }
}

}  // namespace tessel
