#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.h"

namespace sonvale {

// Unsigned decimal text: one optional "+", then one or more ASCII digits and nothing else
// (no white space), fitting in 64 bits. The error texts name what was wrong.
[[nodiscard]] Result<std::uint64_t> parse_u64_decimal(std::string_view text);

}  // namespace sonvale
