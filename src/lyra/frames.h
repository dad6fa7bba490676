#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "lyra/peer_session.h"
#include "lyra/protobuf.h"
#include "lyra/segment.h"

// Lyra transport frames: a 4-byte header (kind, version 4, 16-bit big-endian total length) in
// front of a protobuf body (physical and logical frames) or a channel record.
namespace sonvale::lyra {

inline constexpr std::uint8_t kKindPhysical = 0x09;
inline constexpr std::uint8_t kKindLogical = 0x11;
inline constexpr std::uint8_t kKindChannel = 0x21;
inline constexpr std::uint8_t kFrameVersion = 4;
inline constexpr std::size_t kTransportHeaderSize = 4;
// The longest reply frame: the payload of one push segment in one IPv4 UDP datagram.
inline constexpr std::size_t kMaxReplyFrame = kMaxDatagram - kSegmentHeaderSize;

// The types of a logical frame's inner frame (its field 1).
inline constexpr std::uint64_t kFrameConnect = 1;
inline constexpr std::uint64_t kFrameConfirm = 3;
inline constexpr std::uint64_t kFrameQuiet = 4;
inline constexpr std::uint64_t kFrameLogicalSync = 5;
inline constexpr std::uint64_t kFrameHandshake = 6;

// What the receiver tells a phone about itself; fixed for the life of the server.
struct LyraDevice {
  std::string lyra_instance_id;
  std::string name;
  std::string platform;
  std::uint8_t device_type = 3;
  // The TCP port of the control server, which a connect reply grants.
  std::uint16_t control_port = 0;
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

// A logical frame read once, lent to the event and reply builders. `inner` and `message` view
// the payload, or `opened` when the frame is encrypted; moving the frame keeps them valid,
// copying it would not.
struct LogicalFrame {
  LogicalFrame() = default;
  LogicalFrame(LogicalFrame&&) = default;
  LogicalFrame& operator=(LogicalFrame&&) = default;
  LogicalFrame(const LogicalFrame&) = delete;
  LogicalFrame& operator=(const LogicalFrame&) = delete;

  OuterScalars outer_scalars;
  ByteSpan inner;
  std::optional<ByteSpan> message;  // the last bytes field numbered 2 or more of the inner frame
  std::uint64_t logical_id = 0;
  std::uint64_t frame_type = 0;
  bool encrypted = false;
  Bytes opened;  // the plaintext of an encrypted frame
};

// The message of a physical frame, body {2: {2: message}}, read once.
struct PhysicalFrame {
  PbFields fields;                  // of the message
  std::uint64_t type = 0;           // its last field 2
  std::optional<ByteSpan> payload;  // its last bytes field numbered 3 or more
};

// Fails with "missing physical frame" without {2: {2: ...}}, or with the codec's failure.
[[nodiscard]] Result<PhysicalFrame> read_physical(ByteSpan body);

// Handles one transport frame from a peer: validates and traces it, updates the session and
// returns the reply frame, if any. Failures mean no reply.
[[nodiscard]] Result<std::optional<Bytes>> handle_payload(ByteSpan payload, PeerSession& session,
                                                          const FrameContext& ctx);

// The phone's account in a physical sync message: {3: {2: {4: account}}} (first fields); empty
// when the peer device info has no field 4.
[[nodiscard]] Result<ByteSpan> phone_account(const PhysicalFrame& frame);

// Header and body as one frame. Fails when the frame does not fit the 16-bit length field.
[[nodiscard]] Result<Bytes> transport_frame(std::uint8_t kind, ByteSpan body);

// Fails when `frame` is longer than kMaxReplyFrame. Every reply builder checks its frame before it
// changes anything, so that a reply which cannot be sent leaves no trace.
[[nodiscard]] Result<> fits_one_datagram(ByteSpan frame);

// Header and the body written from `body` in one buffer reserved at the frame's size; a reserved
// field's bytes are left for the caller to append. Fails as the form above.
[[nodiscard]] Result<Bytes> transport_frame(std::uint8_t kind, std::span<const PbOut> body);

// A logical frame echoing `outer` as varints, then field 5 = `inner`, wrapped {2: {1: ...}}.
[[nodiscard]] Result<Bytes> wrap_logical(const OuterScalars& outer, ByteSpan inner);
// As above with the inner frame written in place: `inner` is field 5, a message, or a reserved
// field whose bytes the caller appends.
[[nodiscard]] Result<Bytes> logical_frame(const OuterScalars& outer, const PbOut& inner);

// "0000002A": uppercase hex, zero-padded to at least 8 digits.
std::string logical_id_text(std::uint64_t id);

}  // namespace sonvale::lyra
