#pragma once

// Every event the Lyra command channel emits, built here. Each builder returns the whole event;
// the caller hands it to its sink.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale::lyra {

struct LogicalFrame;
struct AcceptedConnection;

// The server's socket is bound and its thread runs.
Json command_ready_event(SocketAddrV4 local);
// A receive failure other than the time-out.
Json receive_failed_event(std::string message);

// Segment layer.
Json packet_received_event(SocketAddrV4 peer, std::size_t bytes);
Json response_retransmit_event(SocketAddrV4 peer, std::uint32_t sequence, std::uint8_t count);
// A pushed frame the handler failed; `wire` is the segment's payload.
Json frame_failed_event(SocketAddrV4 peer, std::string message, ByteSpan wire);

// Transport and physical frames.
Json transport_frame_trace_event(SocketAddrV4 peer, std::uint8_t kind, ByteSpan body);
Json physical_sync_event(SocketAddrV4 peer, const std::string& receiver_name, std::uint64_t device_code,
                         const char* device_category, ByteSpan account);
Json transport_disconnected_event(SocketAddrV4 peer);

// Logical frames; each carries the frame's logical id.
Json logical_frame_trace_event(SocketAddrV4 peer, const LogicalFrame& frame);
// `service` is empty unless the connect named it in UTF-8; the channel fields are null unless a
// peer-port request was answered.
Json connection_accepted_event(SocketAddrV4 peer, const LogicalFrame& frame, ByteSpan service,
                               const std::optional<AcceptedConnection>& accepted);
Json connection_confirmed_event(SocketAddrV4 peer, const LogicalFrame& frame);
Json logical_sync_event(SocketAddrV4 peer, const LogicalFrame& frame);
Json secure_channel_established_event(SocketAddrV4 peer, const LogicalFrame& frame,
                                      std::uint64_t key_index);
// A logical frame that nothing answers.
Json logical_frame_event(SocketAddrV4 peer, const LogicalFrame& frame);

// Channel frames.
Json channel_frame_rejected_event(SocketAddrV4 peer, std::uint8_t channel_id, ByteSpan sealed);
// `plain` is the opened payload, or the failure to open `sealed`.
Json channel_frame_opened_event(SocketAddrV4 peer, std::uint8_t channel_id,
                                std::optional<std::uint64_t> expected_channel_id,
                                std::optional<std::uint64_t> client_channel_id, const Result<Bytes>& plain,
                                ByteSpan sealed);

}  // namespace sonvale::lyra
