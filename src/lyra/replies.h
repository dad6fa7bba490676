#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "core/error.h"
#include "lyra/frames.h"
#include "lyra/peer_session.h"

// The receiver's reply frames on the Lyra channel. Each fails when the frame would not fit one
// datagram (kMaxReplyFrame) or its 16-bit length field (a phone's echoed fields can make it that
// long).
namespace sonvale::lyra {

// Physical keep-alive reply {2: 5, 7: body}.
[[nodiscard]] Result<Bytes> build_keep_alive_response(ByteSpan body);

// Physical sync reply with the receiver's device record; `now_ms` is the wall clock in
// milliseconds since the Unix epoch.
[[nodiscard]] Result<Bytes> build_device_sync_response(const LyraDevice& device, ByteSpan account,
                                                       std::uint64_t now_ms);

// Logical sync reply {1: 5, 6: {1: V, 2: 64, 4: S}}, V and S taken from the request or defaults.
[[nodiscard]] Result<Bytes> build_logical_sync_response(const LogicalFrame& request);

// The connection a connect reply grants: the phone's channel id, ours (always 1) and the control
// server's port.
struct AcceptedConnection {
  std::uint64_t client_channel_id = 0;
  std::uint64_t server_channel_id = 0;
  std::uint16_t server_port = 0;
};

struct ConnectReply {
  Bytes frame;
  std::optional<AcceptedConnection> accepted;
};

// A connect message read once: the service it names and the request it carries.
struct ConnectRequest {
  std::optional<ByteSpan> service;  // first bytes field 2 of the message
  std::optional<ByteSpan> request;  // first bytes field 3 of the message
  PbFields request_fields;          // of `request`, when it holds a peer-port request
  // The phone's channel id from the peer-port request {10: {1: channel id}} in `request`.
  std::optional<std::uint64_t> client_channel_id;
};

// Fails on a malformed message or request, or a peer-port request without a channel id.
[[nodiscard]] Result<ConnectRequest> read_connect_request(const LogicalFrame& frame);

// Sealed connect reply {1: 2, 3: R}: answers a peer-port request with `control_port`; the
// request is echoed. Reads only the session's key.
[[nodiscard]] Result<ConnectReply> build_connect_success_response(const OuterScalars& outer,
                                                                  const ConnectRequest& request,
                                                                  const PeerSession& session,
                                                                  std::uint16_t control_port);
// The same for a frame not yet read.
[[nodiscard]] Result<ConnectReply> build_connect_success_response(const LogicalFrame& frame,
                                                                  const PeerSession& session,
                                                                  std::uint16_t control_port);

}  // namespace sonvale::lyra
