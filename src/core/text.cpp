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
  const Utf8Step step = decode_utf8_step(s.substr(i));
  *cp = step.code_point;
  return step.length;
}

char fold_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char fold_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Length of the UTF-8 sequence that ends at `end` (exclusive), for well-formed text.
std::size_t last_len(std::string_view s, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && (static_cast<std::uint8_t>(s[start]) & 0xc0) == 0x80 && end - start < 4) {
    --start;
  }
  return end - start;
}

}  // namespace

Utf8Step decode_utf8_step(std::string_view bytes) {
  const auto at = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[k]); };
  const std::uint8_t b0 = at(0);
  if (b0 < 0x80) return Utf8Step{1, b0, 0};
  std::size_t need = 0;
  std::uint8_t lo = 0x80;
  std::uint8_t hi = 0xBF;
  std::uint32_t v = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, v = b0 & 0x1fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, v = b0 & 0x0fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, v = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return Utf8Step{0, 0, 1};
  }
  for (std::size_t k = 1; k <= need; ++k) {
    const bool ok = k < bytes.size() && at(k) >= (k == 1 ? lo : 0x80) && at(k) <= (k == 1 ? hi : 0xBF);
    if (!ok) return Utf8Step{0, 0, k};
    v = (v << 6) | (at(k) & 0x3fu);
  }
  return Utf8Step{need + 1, v, 0};
}

std::string utf8_lossy(ByteSpan bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const Utf8Step step = decode_utf8_step(text.substr(i));
    if (step.length > 0) {
      out.append(text.substr(i, step.length));
      i += step.length;
    } else {
      out += "\xEF\xBF\xBD";
      i += step.invalid;
    }
  }
  return out;
}

bool white_space_at(std::string_view text, std::size_t i, std::size_t* len) {
  const Utf8Step step = decode_utf8_step(text.substr(i));
  *len = step.length > 0 ? step.length : 1;
  return step.length > 0 && is_white_space(step.code_point);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold_lower(c);
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = fold_upper(c);
  return out;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold_lower(a[i]) != fold_lower(b[i])) return false;
  }
  return true;
}

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

}  // namespace sonvale
