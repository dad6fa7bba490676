#include "core/text.h"

#include <cstdint>

namespace sonvale {
namespace {

bool is_white_space(std::uint32_t cp) {
  switch (cp) {
    case 0x09: case 0x0a: case 0x0b: case 0x0c: case 0x0d: case 0x20: case 0x85: case 0xa0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202f: case 0x205f: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200a;
  }
}

// Decodes one code point at `i`; returns its length, or 0 when the bytes there are not UTF-8.
std::size_t decode(std::string_view s, std::size_t i, std::uint32_t* cp) {
  const auto b0 = static_cast<std::uint8_t>(s[i]);
  std::size_t len = 0;
  std::uint32_t v = 0;
  std::uint32_t min = 0;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  } else if ((b0 & 0xe0) == 0xc0) {
    len = 2, v = b0 & 0x1fu, min = 0x80;
  } else if ((b0 & 0xf0) == 0xe0) {
    len = 3, v = b0 & 0x0fu, min = 0x800;
  } else if ((b0 & 0xf8) == 0xf0) {
    len = 4, v = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (len > s.size() - i) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<std::uint8_t>(s[i + k]);
    if ((b & 0xc0) != 0x80) return 0;
    v = (v << 6) | (b & 0x3fu);
  }
  if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff)) return 0;
  *cp = v;
  return len;
}

// Length of the UTF-8 sequence that ends at `end` (exclusive), for well-formed text.
std::size_t last_len(std::string_view s, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && (static_cast<std::uint8_t>(s[start]) & 0xc0) == 0x80 && end - start < 4) {
    --start;
  }
  return end - start;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::uint32_t cp = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = decode(text, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string_view trim_whitespace(std::string_view text) {
  std::uint32_t cp = 0;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = decode(text, begin, &cp);
    if (n == 0 || !is_white_space(cp)) break;
    begin += n;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t n = last_len(text, end);
    if (decode(text, end - n, &cp) != n || !is_white_space(cp)) break;
    end -= n;
  }
  return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) { return trim_whitespace(text).empty(); }

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::uint32_t cp = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = decode(bytes, i, &cp);
    if (n > 0) {
      out.append(bytes.substr(i, n));
      i += n;
      continue;
    }
    // The maximal subpart: the lead byte and the continuation bytes that could still have
    // begun a well-formed sequence (Unicode 15, section 3.9, table 3-7).
    const auto b0 = static_cast<std::uint8_t>(bytes[i]);
    std::size_t need = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xbf;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
      need = 1;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
      need = 2;
      if (b0 == 0xe0) lo = 0xa0;
      if (b0 == 0xed) hi = 0x9f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
      need = 3;
      if (b0 == 0xf0) lo = 0x90;
      if (b0 == 0xf4) hi = 0x8f;
    }
    std::size_t len = 1;
    while (need > 0 && i + len < bytes.size()) {
      const auto b = static_cast<std::uint8_t>(bytes[i + len]);
      if (b < lo || b > hi) break;
      lo = 0x80;
      hi = 0xbf;
      ++len;
      --need;
    }
    out.append("\xEF\xBF\xBD");
    i += len;
  }
  return out;
}

bool ascii_case_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace sonvale
