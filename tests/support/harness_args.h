#pragma once

#include <string>
#include <string_view>

#include "core/error.h"
#include "media/stream_keys.h"

namespace sonvale::testing {

// The stream keys a harness takes on its command line as "AUTH_KEY,AES_KEY,AES_IV".
inline Result<StreamKeys> stream_keys_from_arg(std::string_view text) {
  const auto a = text.find(',');
  const auto b = a == std::string_view::npos ? a : text.find(',', a + 1);
  if (b == std::string_view::npos || text.find(',', b + 1) != std::string_view::npos) {
    return fail(Error::msg("keys want AUTH_KEY,AES_KEY,AES_IV"));
  }
  return StreamKeys::from_strings(text.substr(0, a), text.substr(a + 1, b - a - 1),
                                  text.substr(b + 1));
}

}  // namespace sonvale::testing
