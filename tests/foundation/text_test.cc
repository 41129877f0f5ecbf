#include "foundation/text.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>

#include "platform/process.h"

extern char** environ;

namespace tessel {
namespace {

std::u16string Decode(std::initializer_list<unsigned char> bytes) {
  std::string text(bytes.begin(), bytes.end());
  return AnsiToWide(text);
}

TEST(AnsiToWide, DecodesEveryLengthOfUtf8) {
  EXPECT_EQ(AnsiToWide(""), u"");
  EXPECT_EQ(AnsiToWide("session-42"), u"session-42");
  EXPECT_EQ(Decode({0xC3, 0xA9}), u"\u00E9");
  EXPECT_EQ(Decode({0xE2, 0x82, 0xAC}), u"\u20AC");
  EXPECT_EQ(Decode({0xF0, 0x9F, 0x98, 0x80}), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Decode({0xF4, 0x8F, 0xBF, 0xBF}), (std::u16string{0xDBFF, 0xDFFF}));
  EXPECT_EQ(AnsiTextToWide("ab\0cd"), u"ab");
  EXPECT_EQ(AnsiTextToWide(nullptr), u"");
}

// One U+FFFD for each maximal ill-formed subsequence, as Unicode recommends.
TEST(AnsiToWide, InvalidInputBecomesReplacementCharacters) {
  EXPECT_EQ(Decode({0x80}), u"\uFFFD");
  EXPECT_EQ(Decode({'a', 0xFF, 'b'}), u"a\uFFFDb");
  EXPECT_EQ(Decode({0xC0, 0xAF}), u"\uFFFD\uFFFD");              // overlong '/'
  EXPECT_EQ(Decode({0xE0, 0x80, 0xAF}), u"\uFFFD\uFFFD\uFFFD");  // overlong, three bytes
  EXPECT_EQ(Decode({0xED, 0xA0, 0x80}), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(Decode({0xF4, 0x90, 0x80, 0x80}), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
  EXPECT_EQ(Decode({0xE2, 0x82}), u"\uFFFD");                                // cut short at the end
  EXPECT_EQ(Decode({0xE2, 0x82, 'A'}), u"\uFFFDA");  // cut short by a new character
  EXPECT_EQ(Decode({0xF0, 0x9F, 0x98, 0xC3, 0xA9}), u"\uFFFD\u00E9");
}

TEST(WideToUtf8, EncodesPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(WideToUtf8(u""), "");
  EXPECT_EQ(WideToUtf8(u"C:/img/a.svg"), "C:/img/a.svg");
  EXPECT_EQ(WideToUtf8(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D}), "\xEF\xBF\xBD");
  EXPECT_EQ(WideToUtf8(std::u16string{0xDE00, 'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D, 'a'}),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(WideToUtf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(ToUpperHex, TwoUpperCaseDigitsPerByte) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(ToUpperHex(bytes, 3), "00ABFF");
  EXPECT_EQ(ToUpperHex(bytes, 0), "");
}

TEST(UpperCaseTable, MapsLatinAndCyrillicSmallLetters) {
  const uint8_t* table = UpperCaseTable();
  EXPECT_EQ(table['a'], 'A');
  EXPECT_EQ(table['z'], 'Z');
  EXPECT_EQ(table[0xE0], 0xC0);
  EXPECT_EQ(table[0xFC], 0xDC);
  EXPECT_EQ(table[0xFF], 0xDF);
  EXPECT_EQ(table[0xB8], 0xA8);
  for (int unchanged : std::initializer_list<int>{'A', 'Z', '@', '[', '`', '{', 0x00, 0x7F, 0xA8,
                                                  0xB9, 0xBF, 0xC0, 0xDF}) {
    EXPECT_EQ(table[unchanged], unchanged) << unchanged;
  }
  for (int digit = '0'; digit <= '9'; ++digit) EXPECT_EQ(table[digit], digit);
  EXPECT_EQ(UpperCaseTableBuilds(), 1u);
}

// Many threads using the table for the first time at once: the child program starts them before
// anything in it has touched the table, and fails unless exactly one build happened.
TEST(UpperCaseTable, BuiltOnceUnderConcurrentFirstUse) {
  std::string child = ExecutableFolder() + "child_upper_case";
  char* argv[] = {child.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, child.c_str(), nullptr, nullptr, argv, environ), 0) << child;
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tessel
