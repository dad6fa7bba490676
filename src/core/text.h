#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace sonvale {

// One step of UTF-8 decoding (The Unicode Standard, section 3.9, table 3-7): the well-formed
// sequence at the start of non-empty `bytes` as its length and code point; or, when none starts
// there, length 0 and in `invalid` the length of the maximal subpart of the ill-formed sequence
// (at least 1), which a lossy decoder replaces by one U+FFFD.
struct Utf8Step {
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  std::size_t invalid = 0;
};
Utf8Step decode_utf8_step(std::string_view bytes);

// Text of bytes with every invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(ByteSpan bytes);

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or code points past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Removes Unicode White_Space characters from both ends of well-formed UTF-8 text.
std::string_view trim_whitespace(std::string_view text);

// True when the text is empty or consists of Unicode White_Space characters only.
bool is_blank(std::string_view text);

// Whether the code point at `i` of well-formed UTF-8 text is Unicode White_Space; `*len`
// receives its length in bytes.
bool white_space_at(std::string_view text, std::size_t i, std::size_t* len);

// ASCII case: A-Z and a-z folded onto each other, every other byte as is.
std::string ascii_lower(std::string_view text);
std::string ascii_upper(std::string_view text);
// Same length and equal after folding A-Z onto a-z.
bool ascii_iequal(std::string_view a, std::string_view b);

}  // namespace sonvale
