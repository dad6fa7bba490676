#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/error.h"

namespace sonvale {

// Unsigned decimal text: one optional "+", then one or more ASCII digits and nothing else
// (no white space), fitting in 64 bits. The error texts name what was wrong.
[[nodiscard]] Result<std::uint64_t> parse_u64_decimal(std::string_view text);

// The same grammar, at most 65535 (a port number). A value past the limit is "too large" as soon
// as its digits pass it, before any later non-digit is looked at.
[[nodiscard]] Result<std::uint16_t> parse_u16_decimal(std::string_view text);

// Signed decimal text: one optional "+" or "-", then one or more ASCII digits and nothing else,
// fitting in 64 bits; nullopt otherwise.
std::optional<std::int64_t> parse_signed_decimal(std::string_view text);

}  // namespace sonvale
