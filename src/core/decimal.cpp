#include "core/decimal.h"

#include <limits>

namespace sonvale {
namespace {

Result<std::uint64_t> parse_decimal_at_most(std::string_view text, std::uint64_t max) {
  if (text.empty()) return fail(Error::msg("cannot parse integer from empty string"));
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return fail(Error::msg("invalid digit found in string"));
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return fail(Error::msg("invalid digit found in string"));
    if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value) ||
        value > max) {
      return fail(Error::msg("number too large to fit in target type"));
    }
  }
  return value;
}

}  // namespace

Result<std::uint64_t> parse_u64_decimal(std::string_view text) {
  return parse_decimal_at_most(text, std::numeric_limits<std::uint64_t>::max());
}

Result<std::uint16_t> parse_u16_decimal(std::string_view text) {
  SV_ASSIGN_OR_RETURN(const std::uint64_t value, parse_decimal_at_most(text, 65535));
  return static_cast<std::uint16_t>(value);
}

std::optional<std::int64_t> parse_signed_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulated as a negative number, whose range includes the smallest value.
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, std::int64_t{10}, &value) ||
        __builtin_sub_overflow(value, static_cast<std::int64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  if (negative) return value;
  if (value == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
  return -value;
}

}  // namespace sonvale
