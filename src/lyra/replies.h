#pragma once

#include <cstdint>

#include "core/bytes.h"
#include "core/error.h"
#include "lyra/frames.h"

// The receiver's reply frames on the Lyra channel. Each fails only when the frame would not fit
// its 16-bit length field (a phone's echoed fields can make it that long).
namespace sonvale::lyra {

// Physical keep-alive reply {2: 5, 7: body}.
[[nodiscard]] Result<Bytes> build_keep_alive_response(ByteSpan body);

// Physical sync reply with the receiver's device record; `now_ms` is the wall clock in
// milliseconds since the Unix epoch.
[[nodiscard]] Result<Bytes> build_device_sync_response(const LyraDevice& device, ByteSpan account,
                                                       std::uint64_t now_ms);

// Logical sync reply {1: 5, 6: {1: V, 2: 64, 4: S}}, V and S taken from the request or defaults.
[[nodiscard]] Result<Bytes> build_logical_sync_response(const LogicalFrame& request);

}  // namespace sonvale::lyra
