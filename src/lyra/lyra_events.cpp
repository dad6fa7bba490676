#include "lyra/lyra_events.h"

#include <utility>

#include "core/encoding.h"
#include "core/text.h"
#include "lyra/frames.h"
#include "lyra/replies.h"
#include "lyra/secure_channel.h"

namespace sonvale::lyra {
namespace {

Json peer_event(const char* name, SocketAddrV4 peer) {
  return Json{{"event", name}, {"protocol", "xiaomi_zedidi"}, {"peer", peer.to_string()}};
}

Json logical_event(const char* name, SocketAddrV4 peer, const LogicalFrame& frame) {
  Json ev = peer_event(name, peer);
  ev["logical_id"] = logical_id_text(frame.logical_id);
  return ev;
}

Json optional_u64(const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }

Json utf8_or_null(ByteSpan bytes) {
  const std::string_view text = as_text(bytes);
  return is_valid_utf8(text) ? Json(std::string(text)) : Json(nullptr);
}

}  // namespace

Json command_ready_event(SocketAddrV4 local) {
  return Json{{"event", "lyra_command_ready"},
              {"protocol", "xiaomi_zedidi"},
              {"address", local.to_string()},
              {"external_service_required", false}};
}

Json receive_failed_event(std::string message) {
  return error_event("zedidi_lyra_receive_failed", std::move(message));
}

Json packet_received_event(SocketAddrV4 peer, std::size_t bytes) {
  Json ev = peer_event("lyra_packet_received", peer);
  ev["bytes"] = bytes;
  return ev;
}

Json response_retransmit_event(SocketAddrV4 peer, std::uint32_t sequence, std::uint8_t count) {
  Json ev = peer_event("lyra_response_retransmit", peer);
  ev["sequence"] = sequence;
  ev["count"] = count;
  return ev;
}

Json frame_failed_event(SocketAddrV4 peer, std::string message, ByteSpan wire) {
  Json ev = error_event("zedidi_lyra_frame_failed", std::move(message));
  ev["peer"] = peer.to_string();
  ev["wire_hex"] = hex_lower(wire);
  return ev;
}

Json transport_frame_trace_event(SocketAddrV4 peer, std::uint8_t kind, ByteSpan body) {
  Json ev = peer_event("lyra_transport_frame_trace", peer);
  ev["transport_kind"] = kind;
  ev["body_hex"] = hex_lower(body);
  return ev;
}

Json physical_sync_event(SocketAddrV4 peer, const std::string& receiver_name, std::uint64_t device_code,
                         const char* device_category, ByteSpan account) {
  Json ev = peer_event("lyra_physical_sync", peer);
  ev["receiver_name"] = receiver_name;
  ev["lyra_device_type"] = device_code;
  ev["lyra_device_category"] = device_category;
  ev["account_hash_hex"] = hex_upper(account);
  return ev;
}

Json transport_disconnected_event(SocketAddrV4 peer) {
  return peer_event("lyra_transport_disconnected", peer);
}

Json logical_frame_trace_event(SocketAddrV4 peer, const LogicalFrame& frame) {
  Json ev = logical_event("lyra_logical_frame_trace", peer, frame);
  ev["frame_type"] = frame.frame_type;
  ev["encrypted"] = frame.encrypted;
  Json scalars = Json::array();
  for (const auto& [n, v] : frame.outer_scalars) scalars.push_back(Json::array({n, v}));
  ev["outer_scalars"] = std::move(scalars);
  ev["inner_hex"] = hex_lower(frame.inner);
  ev["message_hex"] = frame.message ? Json(hex_lower(*frame.message)) : Json(nullptr);
  ev["message_utf8"] = frame.message ? utf8_or_null(*frame.message) : Json(nullptr);
  return ev;
}

Json connection_accepted_event(SocketAddrV4 peer, const LogicalFrame& frame, ByteSpan service,
                               const std::optional<AcceptedConnection>& accepted) {
  Json ev = logical_event("lyra_logical_connection_accepted", peer, frame);
  ev["service"] = std::string(as_text(service));
  ev["client_channel_id"] = nullptr;
  ev["server_channel_id"] = nullptr;
  ev["server_port"] = nullptr;
  if (accepted) {
    ev["client_channel_id"] = accepted->client_channel_id;
    ev["server_channel_id"] = accepted->server_channel_id;
    ev["server_port"] = accepted->server_port;
  }
  return ev;
}

Json connection_confirmed_event(SocketAddrV4 peer, const LogicalFrame& frame) {
  Json ev = logical_event("lyra_logical_connection_confirmed", peer, frame);
  ev["playable"] = false;
  return ev;
}

Json logical_sync_event(SocketAddrV4 peer, const LogicalFrame& frame) {
  return logical_event("lyra_logical_sync", peer, frame);
}

Json secure_channel_established_event(SocketAddrV4 peer, const LogicalFrame& frame,
                                      std::uint64_t key_index) {
  Json ev = logical_event("lyra_secure_channel_established", peer, frame);
  ev["key_index"] = key_index;
  ev["cipher"] = kCipherSuite;
  ev["external_account_required"] = false;
  return ev;
}

Json logical_frame_event(SocketAddrV4 peer, const LogicalFrame& frame) {
  Json ev = logical_event("lyra_logical_frame", peer, frame);
  ev["frame_type"] = frame.frame_type;
  ev["encrypted"] = frame.encrypted;
  ev["payload_hex"] = hex_lower(frame.inner);
  return ev;
}

Json channel_frame_rejected_event(SocketAddrV4 peer, std::uint8_t channel_id, ByteSpan sealed) {
  Json ev = peer_event("lyra_channel_frame_rejected", peer);
  ev["channel_id"] = channel_id;
  ev["reason"] = "missing_session_key";
  ev["encrypted_hex"] = hex_lower(sealed);
  return ev;
}

Json channel_frame_opened_event(SocketAddrV4 peer, std::uint8_t channel_id,
                                std::optional<std::uint64_t> expected_channel_id,
                                std::optional<std::uint64_t> client_channel_id, const Result<Bytes>& plain,
                                ByteSpan sealed) {
  Json ev = peer_event(plain ? "lyra_channel_frame_decrypted" : "lyra_channel_frame_decrypt_failed", peer);
  ev["channel_id"] = channel_id;
  ev["expected_channel_id"] = optional_u64(expected_channel_id);
  ev["client_channel_id"] = optional_u64(client_channel_id);
  if (plain) {
    ev["payload_hex"] = hex_lower(*plain);
    ev["payload_utf8"] = utf8_or_null(*plain);
  } else {
    ev["error"] = plain.error().to_string();
    ev["encrypted_hex"] = hex_lower(sealed);
  }
  return ev;
}

}  // namespace sonvale::lyra
