#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"

namespace sonvale {

// Lowercase hexadecimal, two digits per byte.
std::string hex_lower(ByteSpan data);
std::string hex_upper(ByteSpan data);
// Accepts upper- and lowercase digits; nullopt on odd length or a non-hex character.
std::optional<Bytes> hex_decode(std::string_view text);

// RFC 4648 base64 with the standard alphabet and "=" padding.
std::string base64_encode(ByteSpan data);
// Strict decode of the standard padded form; nullopt on any deviation.
std::optional<Bytes> base64_decode(std::string_view text);
// RFC 4648 section 5 alphabet ("-", "_") without padding.
std::string base64url_encode(ByteSpan data);
std::optional<Bytes> base64url_decode(std::string_view text);

}  // namespace sonvale
