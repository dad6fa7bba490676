#pragma once

#include <string>
#include <string_view>

namespace sonvale {

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Removes Unicode White_Space characters from both ends of well-formed UTF-8 text.
std::string_view trim_whitespace(std::string_view text);

// True when the text is empty or consists of Unicode White_Space characters only.
bool is_blank(std::string_view text);

// The bytes as text, every ill-formed UTF-8 sequence (each maximal subpart, as Unicode's
// "substitution of maximal subparts" defines it) replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Same length and equal once ASCII "A"-"Z" are mapped to "a"-"z"; other bytes compare exactly.
bool ascii_case_equal(std::string_view a, std::string_view b);

}  // namespace sonvale
