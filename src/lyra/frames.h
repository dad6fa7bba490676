#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "lyra/peer_session.h"
#include "lyra/segment.h"

// Lyra transport frames: a 4-byte header (kind, version 4, 16-bit big-endian total length) in
// front of a protobuf body (physical and logical frames) or a channel record.
namespace sonvale::lyra {

inline constexpr std::uint8_t kKindPhysical = 0x09;
inline constexpr std::uint8_t kKindLogical = 0x11;
inline constexpr std::uint8_t kKindChannel = 0x21;
inline constexpr std::uint8_t kFrameVersion = 4;
inline constexpr std::size_t kFrameHeaderSize = 4;
// The longest reply frame: the payload of one push segment in one IPv4 UDP datagram.
inline constexpr std::size_t kMaxReplyFrame = kMaxDatagram - kSegmentHeaderSize;

// What the receiver tells a phone about itself; fixed for the life of the server.
struct LyraDevice {
  std::string lyra_instance_id;
  std::string name;
  std::string platform;
  std::uint8_t device_type = 3;
};

// Everything a frame handler call needs besides the payload and the session.
struct FrameContext {
  const LyraDevice& device;
  const Clock& clock;
  SocketAddrV4 peer;
  const EventSink& events;
};

// The receiver's device type as the Lyra channel names it.
struct LyraDeviceKind {
  std::uint64_t code = 0;
  const char* category = "";
};
LyraDeviceKind lyra_device_kind(std::uint8_t device_type);

using OuterScalars = std::vector<std::pair<std::uint32_t, std::uint64_t>>;

// A decoded logical frame, lent to the reply builders.
struct LogicalFrame {
  OuterScalars outer_scalars;
  Bytes inner;  // the opened plaintext when encrypted
  std::optional<Bytes> message;
  std::uint64_t logical_id = 0;
  std::uint64_t frame_type = 0;
  bool encrypted = false;
};

// Handles one transport frame from a peer: validates and traces it, updates the session and
// returns the reply frame, if any. Failures mean no reply.
[[nodiscard]] Result<std::optional<Bytes>> handle_payload(ByteSpan payload, PeerSession& session,
                                                          const FrameContext& ctx);

// The phone's account from a physical body: {2: {2: {3: {2: {4: account}}}}}; empty when the
// peer device info has no field 4.
[[nodiscard]] Result<Bytes> extract_phone_account(ByteSpan body);

// Header and body as one frame. Fails when the frame does not fit the 16-bit length field.
[[nodiscard]] Result<Bytes> transport_frame(std::uint8_t kind, ByteSpan body);

// Fails when `frame` is longer than kMaxReplyFrame. Every reply builder checks its frame before it
// changes anything, so that a reply which cannot be sent leaves no trace.
[[nodiscard]] Result<> fits_one_datagram(ByteSpan frame);

// A logical frame echoing `outer` as varints, then field 5 = `inner`, wrapped {2: {1: ...}}.
[[nodiscard]] Result<Bytes> wrap_logical(const OuterScalars& outer, ByteSpan inner);

// "0000002A": uppercase hex, zero-padded to at least 8 digits.
std::string logical_id_text(std::uint64_t id);

}  // namespace sonvale::lyra
