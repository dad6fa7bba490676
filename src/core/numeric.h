#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Saturating integer arithmetic and saturating float-to-integer conversion: out-of-range values
// become the nearest limit and NaN becomes 0, instead of undefined behaviour.
namespace sonvale {

// 128-bit integers for exact products of two 64-bit values.
__extension__ typedef __int128 Int128;

inline std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}

inline std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) {
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}

inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<std::uint64_t>::max();
  return r;
}

inline std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; }

// Truncates toward zero; NaN gives 0, values beyond the range the nearest limit.
inline std::int64_t saturating_i64(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

inline std::uint64_t saturating_u64(double v) {
  if (std::isnan(v) || v <= 0.0) return 0;
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

// Rounds to the nearest integer with halves away from zero, then converts saturating.
inline std::int64_t round_to_i64(double v) { return saturating_i64(std::round(v)); }
inline std::uint64_t round_to_u64(double v) { return saturating_u64(std::round(v)); }

}  // namespace sonvale
