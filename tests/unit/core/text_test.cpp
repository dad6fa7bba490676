#include "core/text.h"

#include <gtest/gtest.h>

#include "core/bytes.h"

namespace sonvale {
namespace {

TEST(Utf8Test, ValidatesWellFormedText) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9", true},                  // é
      {"\xe5\xb0\x8f\xe7\xb1\xb3", true},  // 小米
      {"\xf0\x9f\x8e\xb5", true},          // U+1F3B5
      {"\xff", false},
      {"\xc3", false},                     // truncated
      {"\xc0\xaf", false},                 // overlong "/"
      {"\xed\xa0\x80", false},             // surrogate
      {"\xf4\x90\x80\x80", false},         // past U+10FFFF
      {"a\x80", false},                    // lone continuation
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
}

TEST(TrimTest, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_whitespace("  {\"a\":1}\t\r\n"), "{\"a\":1}");
  EXPECT_EQ(trim_whitespace("\xe3\x80\x80x y\xc2\xa0"), "x y");  // U+3000 and U+00A0
  EXPECT_EQ(trim_whitespace("\xef\xbb\xbfx"), "\xef\xbb\xbfx");   // BOM is not white space
  EXPECT_EQ(trim_whitespace(" \t "), "");
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank(" \t\n"));
  EXPECT_FALSE(is_blank(" a "));
  EXPECT_FALSE(is_blank("\xff"));
}

struct StepCase {
  const char* name;
  std::string bytes;
  std::size_t length;
  std::uint32_t code_point;
  std::size_t invalid;
};

class Utf8StepTest : public ::testing::TestWithParam<StepCase> {};

// The maximal-subpart rule decides how many U+FFFD a lossy decode writes for one bad sequence.
TEST_P(Utf8StepTest, DecodesOneSequenceOrMeasuresItsMaximalSubpart) {
  const StepCase& c = GetParam();
  const Utf8Step step = decode_utf8_step(c.bytes);
  EXPECT_EQ(step.length, c.length);
  EXPECT_EQ(step.invalid, c.invalid);
  if (c.length > 0) {
    EXPECT_EQ(step.code_point, c.code_point);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, Utf8StepTest,
    ::testing::Values(StepCase{"ascii", "az", 1, 'a', 0},
                      StepCase{"two_bytes", "\xc3\xa9", 2, 0xe9, 0},
                      StepCase{"three_bytes", "\xe5\xb0\x8f", 3, 0x5c0f, 0},
                      StepCase{"four_bytes_last", "\xf4\x8f\xbf\xbf", 4, 0x10ffff, 0},
                      StepCase{"lone_continuation", "\x80", 0, 0, 1},
                      StepCase{"overlong_lead", "\xc0\xaf", 0, 0, 1},
                      StepCase{"cut_three_bytes", "\xe2\x82", 0, 0, 2},
                      StepCase{"surrogate", "\xed\xa0\x80", 0, 0, 1},
                      StepCase{"past_max", "\xf4\x90\x80\x80", 0, 0, 1},
                      StepCase{"bad_third_byte", "\xf0\x9f\x41", 0, 0, 2}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Utf8LossyTest, ReplacesEachMaximalSubpartOnce) {
  const auto lossy = [](std::string_view s) { return utf8_lossy(as_bytes(s)); };
  EXPECT_EQ(lossy("a\xffz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(lossy("\xe2\x82"), "\xEF\xBF\xBD");
  EXPECT_EQ(lossy("\xe2\x82z"), "\xEF\xBF\xBDz");
  EXPECT_EQ(lossy("\xed\xa0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(lossy("\xe5\xb0\x8f"), "\xe5\xb0\x8f");
}

TEST(AsciiCaseTest, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(ascii_lower("CSeq: ÄB-9"), "cseq: Äb-9");
  EXPECT_EQ(ascii_upper("get_parameter é"), "GET_PARAMETER é");
  EXPECT_TRUE(ascii_iequal("Pulse:Null Output", "pulse:null output"));
  EXPECT_FALSE(ascii_iequal("abc", "abcd"));
  EXPECT_FALSE(ascii_iequal("\xc3\xa4", "\xc3\x84"));  // ä and Ä differ outside ASCII
  EXPECT_FALSE(ascii_iequal("[", "{"));                 // 0x5b and 0x7b are no letters
}

}  // namespace
}  // namespace sonvale
