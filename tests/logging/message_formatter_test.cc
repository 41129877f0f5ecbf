#include "logformat/message_formatter.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tessel {
namespace {

struct Case {
  const char* format;
  std::vector<LogArg> args;
  std::string expected;
};

std::string Format(const char* format, std::vector<LogArg> args) {
  return FormatMessage(format, args.data(), static_cast<uint32_t>(args.size()));
}

TEST(MessageFormatterTest, DirectivesTakeRecordsInOrderAndTypeDecidesRendering) {
  const Case cases[] = {
      {"Loading error. %s, %s", {LogArg::String("a.png")}, "Loading error. a.png, "},
      {"%d", {LogArg::String("abc")}, "abc"},
      {"%s", {LogArg::Int32(42)}, "42"},
      {"%s", {LogArg::Int32(1)}, "1"},
      {"100%% done", {}, "100% done"},
      {"%%%s%%", {LogArg::Int32(5)}, "%5%"},
      {"Log counter %d", {LogArg::UInt64(3000000000u)}, "Log counter 3000000000"},
      {"%d", {LogArg::UInt32(3000000000u)}, "-1294967296"},
      {"%I64d", {LogArg::UInt64(~0ull)}, "-1"},
      {"%I64d|%2.3f|", {LogArg::Int64(-7), LogArg::Double(2.5)}, "-7|2.500|"},
      {"%d", {LogArg::Int64(INT64_MIN)}, "-9223372036854775808"},
      {"%d", {LogArg::Int32(INT32_MIN)}, "-2147483648"},
      {"x", {LogArg::Int32(1), LogArg::String("y")}, "x"},
      {"a %s b %", {LogArg::Int32(1), LogArg::Int32(2)}, "a 1 b 2"},
      {"%", {}, ""},
      {"%5d", {LogArg::Int32(7)}, "7d"},
      {"%-s|%x|%I64x", {LogArg::Int32(1), LogArg::Int32(2), LogArg::Int32(3)}, "1s|2|364x"},
      {"%t|%ts", {LogArg::Int32(1), LogArg::Int32(2)}, "1|2.000 sec"},
      {"[%s]", {LogArg::String(nullptr)}, "[]"},
      {"[%s][%s]",
       {LogArg{static_cast<LogArgType>(0), {}, 0}, LogArg{static_cast<LogArgType>(8), {}, 0}},
       "[][]"},
      // %b: base-1024 groups; a negative Int32 is sign-extended first.
      {"%b", {LogArg::UInt64(0)}, "0"},
      {"%b", {LogArg::UInt64(1073741824)}, "1,0,0,0"},
      {"%b", {LogArg::UInt64(1536)}, "1,512"},
      {"%b", {LogArg::Int64(5000)}, "4,904"},
      {"%b", {LogArg::UInt32(1023)}, "1023"},
      {"%b", {LogArg::Int32(-1)}, "15,1023,1023,1023,1023,1023,1023"},
      {"%b", {LogArg::UInt32(0xFFFFFFFFu)}, "3,1023,1023,1023"},
      {"%b %b", {LogArg::String("s"), LogArg::Double(1.5)}, "s 1.500"},
      // %ts: strict comparisons at each unit boundary.
      {"%ts", {LogArg::Double(0.5)}, "0.500 sec"},
      {"%ts", {LogArg::UInt32(7200)}, "2.000 hour"},
      {"%ts", {LogArg::Int64(172800)}, "2.000 day"},
      {"%ts", {LogArg::Int32(60)}, "60.000 sec"},
      {"%ts", {LogArg::UInt64(90)}, "1.500 min"},
      {"%ts", {LogArg::Int32(3600)}, "60.000 min"},
      {"%ts", {LogArg::Int32(86400)}, "24.000 hour"},
      {"%ts", {LogArg::Int32(-5)}, "-5.000 sec"},
      {"%ts", {LogArg::UInt32(0xFFFFFFFFu)}, "49710.270 day"},
      {"%ts", {LogArg::String("later")}, "later"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Format(c.format, c.args), c.expected) << "format: " << c.format;
  }
  EXPECT_EQ(FormatByteSize(1048576), "1,0,0");
  EXPECT_EQ(FormatTimeSpan(90), "1.500 min");
}

TEST(MessageFormatterTest, DoublesRoundAsPrintfDoes) {
  const auto check = [](double v) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%2.3f", v);
    const std::string got = Format("%s", {LogArg::Double(v)});
    EXPECT_EQ(got, expected) << std::hexfloat << v;
    return got == expected;
  };
  for (double v : {0.0, -0.0, 0.0005, 0.0015, 2.0005, 1.0 / 3, -123.4565, 1e15 + 0.5, 1e20, -1e300,
                   1.7976931348623157e308, 4.9e-324, 18446744073709.551, 18446744073709.552,
                   9007199254740993.0, -0.0004999, 0.0625, 0.1875, 1.0625, 2.0625,
                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()}) {
    check(v);
  }
  // Exact ties (an odd number of sixteen-thousandths) round to even; then any bit pattern, every
  // exponent, and values of the size log lines carry.
  for (int k = 1; k < 20000; k += 2) check(k / 16000.0 * 2);
  std::mt19937_64 random(7);
  int failures = 0;
  for (int i = 0; i < 200000 && failures < 5; ++i) {
    double v = std::bit_cast<double>(random());
    if (i % 2 == 1) v = static_cast<double>(random() % 100000000) / 10000.0;
    failures += check(v) ? 0 : 1;
  }
}

TEST(MessageFormatterTest, WideTextBecomesUtf8AndUnpairedSurrogatesBecomeQuestionMarks) {
  const char16_t text[] = u"A\u00e9\u20ac\U0001F600";
  LogArg args[] = {LogArg::Wide(text)};
  EXPECT_EQ(FormatMessage("%s", args, 1), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(args[0].length, 5u);  // the pair counts as two units

  const char16_t broken[] = {u'x', 0xD83D, u'y', 0xDE00, 0xD83D, 0};
  EXPECT_EQ(Format("%s", {LogArg::Wide(broken)}), "x?y??");
  EXPECT_EQ(Format("%s", {LogArg::Wide(text, 2)}), "A\xC3\xA9");
  // A pair cut by the given length leaves its first half alone.
  EXPECT_EQ(Format("%s", {LogArg::Wide(text, 4)}), "A\xC3\xA9\xE2\x82\xAC?");
  EXPECT_EQ(Format("<%s>", {LogArg::Wide(nullptr)}), "<>");
}

TEST(MessageFormatterTest, LongTextMovesToTheHeapAndLeavesTheScratchBlockAlone) {
  constexpr size_t kGuard = 64;
  std::vector<char> block(FormatBuffer::kChunk + kGuard, '#');
  const std::string longText(3000, 'q');
  std::u16string wide;
  for (int i = 0; i < 700; ++i) wide += u"\u20ac\U0001F600";
  std::string wideUtf8;
  for (int i = 0; i < 700; ++i) wideUtf8 += "\xE2\x82\xAC\xF0\x9F\x98\x80";

  LogArg args[] = {LogArg::Int32(-12), LogArg::String(longText.c_str()), LogArg::Wide(wide.c_str()),
                   LogArg::Double(0.25)};
  {
    FormatBuffer out(block.data(), FormatBuffer::kChunk);
    MessageFormatter(out, "head %d %s|%s|%ts tail", args, 4);
    EXPECT_FALSE(out.UsesScratch());
    EXPECT_EQ(out.View(), "head -12 " + longText + "|" + wideUtf8 + "|0.250 sec tail");
  }
  EXPECT_EQ(std::string(block.begin() + FormatBuffer::kChunk, block.end()),
            std::string(kGuard, '#'));

  FormatBuffer small(block.data(), FormatBuffer::kChunk);
  MessageFormatter(small, "short %d", args, 1);
  EXPECT_TRUE(small.UsesScratch());
  EXPECT_EQ(std::string(block.data(), small.Size()), "short -12");
}

}  // namespace
}  // namespace tessel
