#include "core/encoding.h"

#include <array>
#include <cstdint>

namespace sonvale {
namespace {

constexpr std::string_view kStd = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string hex_with(ByteSpan data, std::string_view digits) {
  std::string out;
  out.resize(data.size() * 2);
  for (std::size_t i = 0; i < data.size(); ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 0x0f];
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string b64_encode(ByteSpan data, std::string_view alphabet, bool pad) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) |
                            std::uint32_t{data[i + 2]};
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += alphabet[v & 63];
  }
  const std::size_t left = data.size() - i;
  if (left == 1) {
    const std::uint32_t v = std::uint32_t{data[i]} << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    if (pad) out += "==";
  } else if (left == 2) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    if (pad) out += '=';
  }
  return out;
}

std::optional<Bytes> b64_decode(std::string_view text, std::string_view alphabet, bool padded) {
  std::array<int, 256> table;
  table.fill(-1);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
  }
  std::size_t pad = 0;
  if (padded) {
    if (text.size() % 4 != 0) return std::nullopt;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
    text.remove_suffix(pad);
  } else if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  Bytes out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const int v = table[static_cast<unsigned char>(c)];
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xff));
    }
  }
  // Leftover bits must be zero, so that each byte string has exactly one encoding.
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

}  // namespace

std::string hex_lower(ByteSpan data) { return hex_with(data, "0123456789abcdef"); }
std::string hex_upper(ByteSpan data) { return hex_with(data, "0123456789ABCDEF"); }

std::optional<Bytes> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_value(text[2 * i]);
    const int lo = hex_value(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return out;
}

std::string base64_encode(ByteSpan data) { return b64_encode(data, kStd, true); }
std::optional<Bytes> base64_decode(std::string_view text) { return b64_decode(text, kStd, true); }
std::string base64url_encode(ByteSpan data) { return b64_encode(data, kUrl, false); }
std::optional<Bytes> base64url_decode(std::string_view text) {
  return b64_decode(text, kUrl, false);
}

}  // namespace sonvale
