#include "core/decimal.h"

namespace sonvale {

Result<std::uint64_t> parse_u64_decimal(std::string_view text) {
  if (text.empty()) return fail(Error::msg("cannot parse integer from empty string"));
  std::string_view digits = text;
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return fail(Error::msg("invalid digit found in string"));
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return fail(Error::msg("invalid digit found in string"));
    if (__builtin_mul_overflow(value, std::uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint64_t>(c - '0'), &value)) {
      return fail(Error::msg("number too large to fit in target type"));
    }
  }
  return value;
}

}  // namespace sonvale
