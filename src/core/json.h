#pragma once

// Reading JSON from a peer or from standard input (RFC 8259).

#include <cstddef>
#include <optional>

#include "core/bytes.h"
#include "core/event_sink.h"

namespace sonvale {

// Arrays and objects nested deeper than this are refused.
inline constexpr std::size_t kMaxJsonDepth = 128;

// Strict JSON: exactly one value with only white space around it, no byte-order mark, and at
// most kMaxJsonDepth levels of nested arrays and objects. Nothing for anything else; the reason
// is not reported. The parse is iterative and stops at the first level too deep, so no code runs
// recursively on the input's depth, here or later on the value it returns.
std::optional<Json> parse_json_strict(ByteSpan text);

}  // namespace sonvale
