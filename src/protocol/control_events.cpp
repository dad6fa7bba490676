#include "protocol/control_events.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/text.h"
#include "protocol/control_frame.h"
#include "protocol/control_payloads.h"

namespace sonvale {
namespace {

// The fields every stage of a control connection carries; a stage adds its own.
Json stage_event(const char* stage, const std::string& remote) {
  return Json{{"event", "interconnect_stage"},
              {"protocol", "xiaomi_zedidi"},
              {"stage", stage},
              {"remote", remote},
              {"playable", false},
              {"vendor_attestation_verified", false}};
}

ByteSpan first_bytes(ByteSpan body, std::size_t n) { return body.first(std::min(body.size(), n)); }

}  // namespace

Json transport_connected_event(const std::string& remote) {
  Json event = stage_event("transport_connected", remote);
  event["message"] = "小米妙播发现探测已连接：" + remote;
  return event;
}

Json transport_disconnected_event(const std::string& remote) {
  return stage_event("transport_disconnected", remote);
}

Json probe_finished_event(const std::string& remote) {
  return Json{{"event", "interconnect_diagnostic"},
              {"protocol", "xiaomi_zedidi"},
              {"stage", "probe_finished"},
              {"remote", remote},
              {"message", "妙播来源端结束了发现或控制连接"}};
}

Json identity_exchanged_event(const std::string& remote) {
  Json event = stage_event("identity_exchanged", remote);
  event["identity_provenance"] = "local_system";
  event["account_bound"] = false;
  return event;
}

Json capabilities_exchanged_event(const std::string& remote) {
  return stage_event("capabilities_exchanged", remote);
}

Json secure_channel_stage_event(const std::string& remote) {
  Json event = stage_event("secure_channel_established", remote);
  event["authentication_scope"] = "legacy_session_hmac";
  return event;
}

Json media_session_established_event(const std::string& remote, std::uint64_t generation) {
  Json event = stage_event("media_session_established", remote);
  event["media_generation"] = generation;
  event["playable"] = true;
  event["route_acceptance"] = "source_open_command";
  return event;
}

Json safety_challenge_sent_event(const std::string& local, const std::string& remote,
                                 const std::string& auth_key, const std::string& own_challenge) {
  return Json{{"event", "authentication_diagnostic"},
              {"stage", "safety_challenge_sent"},
              {"local_endpoint", local},
              {"remote_endpoint", remote},
              {"auth_key", auth_key},
              {"own_auth_message", own_challenge}};
}

Json safety_auth_received_event(const std::string& local, const std::string& remote,
                                const std::string& auth_key, const std::string& peer_message,
                                const std::string& own_challenge, const std::string& ack) {
  return Json{{"event", "authentication_diagnostic"},
              {"stage", "safety_auth_received"},
              {"local_endpoint", local},
              {"remote_endpoint", remote},
              {"auth_key", auth_key},
              {"peer_auth_message", peer_message},
              {"own_auth_message", own_challenge},
              {"peer_auth_ack", ack}};
}

Json safety_auth_ack_received_event(const std::string& received, const std::string& expected,
                                    bool matches) {
  return Json{{"event", "authentication_diagnostic"},
              {"stage", "safety_auth_ack_received"},
              {"received_auth_ack", received},
              {"expected_auth_ack", expected},
              {"matches", matches}};
}

Json secure_channel_status_event() {
  return Json{{"event", "status"},
              {"state", "secure_channel_established"},
              {"message", "小米妙播链路鉴权已通过，正在等待设备准入和媒体会话"}};
}

Json media_opening_event(const std::string& rtsp_address) {
  return Json{{"event", "status"},
              {"state", "media_opening"},
              {"message", "正在打开小米妙播媒体流：" + rtsp_address}};
}

Json stream_keys_ready_event(const std::string& remote, std::uint64_t session_id,
                             const std::string& fingerprint) {
  return Json{{"event", "stream_keys_ready"},
              {"protocol", "xiaomi_zedidi"},
              {"remote", remote},
              {"session_id", session_id},
              {"key_fingerprint", fingerprint}};
}

Json media_key_selected_event(const std::string& remote, std::uint64_t open_session_id,
                              const Json& key_session_id, std::string_view scope,
                              const Json& fingerprint, bool encrypted) {
  return Json{{"event", "media_key_selected"},
              {"protocol", "xiaomi_zedidi"},
              {"remote", remote},
              {"open_session_id", open_session_id},
              {"key_session_id", key_session_id},
              {"key_scope", scope},
              {"key_fingerprint", fingerprint},
              {"encrypted_media_expected", encrypted}};
}

Json progress_event(std::uint64_t position_ms) {
  return Json{{"event", "progress"}, {"source", "xiaomi"}, {"position_ms", position_ms}};
}

Json play_source_event(Json content) {
  return Json{{"event", "play_source"}, {"source", "xiaomi"}, {"content", std::move(content)}};
}

Json media_control_ack_event(std::uint8_t command, std::uint16_t sequence, ByteSpan body) {
  return Json{{"event", "media_control_acknowledgement"},
              {"protocol", "xiaomi_zedidi"},
              {"command_id", command},
              {"sequence", sequence},
              {"accepted", false},
              {"reason", "receiver_notify_controls_are_confirmed_by_remote_state"},
              {"body_hex", hex_lower(first_bytes(body, kTraceCut))}};
}

Json unhandled_trace_event(std::uint8_t outer_type, std::uint8_t command, std::uint16_t sequence,
                           ByteSpan body, std::size_t hex_cut) {
  return Json{{"event", "protocol_trace"},
              {"direction", "unhandled"},
              {"outer_type", outer_type},
              {"command_id", command},
              {"full_command_id", (std::uint32_t{outer_type} << 8) + command},
              {"sequence", sequence},
              {"body_hex", hex_lower(first_bytes(body, hex_cut))}};
}

Json incoming_trace(const Incoming& frame) {
  Json payload_key = nullptr;
  Json payload_type = nullptr;
  std::string payload_text;
  if (auto entry = unwrap_payload(frame.body)) {
    payload_key = entry->key;
    payload_type = entry->entry_type;
    const ByteSpan data(entry->data);
    payload_text = utf8_lossy(data.first(std::min(data.size(), kTraceCut)));
  } else {
    const ByteSpan body(frame.body);
    payload_text = utf8_lossy(body.first(std::min(body.size(), kTraceCut)));
  }
  return Json{{"event", "protocol_trace"},
              {"direction", "in"},
              {"outer_type", frame.outer_type},
              {"command_id", frame.command},
              {"sequence", frame.value_type},
              {"encrypted", frame.encrypted},
              {"body_length", frame.body.size()},
              {"wire_body_length", frame.wire_length},
              {"wire_body_hex", hex_lower(frame.wire_head)},
              {"wire_body_hex_truncated", frame.wire_length > kTraceCut},
              {"payload_key", payload_key},
              {"payload_type", payload_type},
              {"payload_utf8", payload_text}};
}

Json outgoing_trace_event(const Outgoing& message, std::uint8_t outer_type, ByteSpan wire) {
  const ByteSpan body_cut = first_bytes(message.body, kTraceCut);
  return Json{{"event", "protocol_trace"},
              {"direction", "out"},
              {"outer_type", outer_type},
              {"command_id", message.command},
              {"sequence", message.value_type},
              {"body_length", wire.size()},
              {"encrypted", is_encrypted_body(wire)},
              {"wrapper_key", message.wrapper_key.empty() ? Json(nullptr) : Json(message.wrapper_key)},
              {"plaintext_body_hex", hex_lower(body_cut)},
              {"plaintext_body_utf8", utf8_lossy(body_cut)},
              {"wire_body_hex", hex_lower(first_bytes(wire, kTraceCut))},
              {"wire_body_hex_truncated", wire.size() > kTraceCut}};
}

Json session_failed_event(const Error& ended) {
  return error_event("sonvale_control_session_failed",
                     "小米妙播控制会话失败：" + ended.to_string());
}

Json session_register_failed_event(const Error& error) {
  return error_event("sonvale_control_session_failed",
                     "小米妙播控制会话登记失败：" + error.to_string());
}

Json session_spawn_failed_event(const Error& error) {
  return error_event("sonvale_control_session_failed",
                     "启动小米妙播控制会话失败：" + error.to_string());
}

Json accept_failed_event(const std::string& error) {
  return error_event("sonvale_control_accept_failed", "小米妙播控制端接受连接失败：" + error);
}

Json connection_limit_event(std::size_t limit, const std::string& peer) {
  return warning_event("sonvale_control_connection_limit",
                       fmt::format("小米妙播控制连接已达上限 {}，已关闭新连接：{}", limit, peer));
}

Json write_failed_event(const Error& error) {
  return error_event("sonvale_control_write_failed",
                     "小米妙播控制命令发送失败：" + error.to_string());
}

void emit_volume(std::uint32_t percent, const EventSink& events) {
  events(Json{{"event", "volume"}, {"source", "xiaomi"}, {"percent", percent}});
}

void emit_playback(bool playing, const EventSink& events) {
  events(Json{{"event", "playback_state"},
              {"raw_state", playing ? 2 : 3},
              {"playing", playing},
              {"session_active", true}});
}

Json media_info_event(const MediaInfo& info) {
  Json track_id = nullptr;
  if (info.id) {
    track_id = *info.id;
  } else if (!info.title.empty() || !info.artist.empty() || !info.album.empty()) {
    ByteWriter material;
    material.text(info.title).u8(0).text(info.artist).u8(0).text(info.album).u8(0);
    const Sha256Digest digest = sha256(material.view());
    track_id = "metadata:" + hex_lower(ByteSpan(digest).first(16));
  }
  auto optional = [](const auto& field) { return field ? Json(*field) : Json(nullptr); };
  return Json{{"event", "media_info"},
              {"source", "xiaomi"},
              {"track_id", track_id},
              {"title", info.title},
              {"artist", info.artist},
              {"album", info.album},
              {"duration_ms", info.duration_ms.value_or(0)},
              {"position_ms", optional(info.position_ms)},
              {"artwork", optional(info.artwork)},
              {"metadata_change_type", optional(info.metadata_change_type)}};
}

void emit_media_info(const std::optional<MediaInfo>& info, const EventSink& events) {
  if (info) events(media_info_event(*info));
}

void emit_source_info(ByteSpan payload, const EventSink& events, const ByteBudget* shared) {
  auto doc = parse_json_payload(payload, shared);
  if (!doc || !doc->is_object()) return;
  const auto it = doc->find("sourceName");
  if (it == doc->end() || !it->is_string()) return;
  Json name = *it;
  events(Json{{"event", "source_info"},
              {"source", "xiaomi"},
              {"source_name", std::move(name)},
              {"raw", std::move(*doc)}});
}

}  // namespace sonvale
