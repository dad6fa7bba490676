#include "core/text.h"

#include <gtest/gtest.h>

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

TEST(Utf8LossyTest, ReplacesEachMaximalSubpart) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::string r = "\xef\xbf\xbd";
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"\xc3\xa9", "\xc3\xa9"},
      {"\xff\xfe", r + r},
      {"\xe2\x82" "a", r + "a"},          // truncated three-byte sequence: one replacement
      {"\xf0\x9f\x8e", r},               // truncated four-byte sequence at the end
      {"\xc0\xaf", r + r},                // overlong lead byte and a lone continuation
      {"\xed\xa0\x80", r + r + r},       // surrogate: only 80..9F may follow ED
      {"\xf4\x90\x80\x80", r + r + r + r},  // past U+10FFFF
      {"a\x80" "b", "a" + r + "b"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

TEST(AsciiCaseTest, OnlyAsciiLettersFold) {
  EXPECT_TRUE(ascii_case_equal("_LYRA-mdns._udp.Local", "_lyra-mdns._udp.local"));
  EXPECT_TRUE(ascii_case_equal("", ""));
  EXPECT_FALSE(ascii_case_equal("en0", "en0 "));
  EXPECT_FALSE(ascii_case_equal("\xc3\x84", "\xc3\xa4"));  // Ä and ä differ
  EXPECT_FALSE(ascii_case_equal("@", "`"));                // 0x40 and 0x60 are no letters
  EXPECT_FALSE(ascii_case_equal("[", "{"));
}

}  // namespace
}  // namespace sonvale
