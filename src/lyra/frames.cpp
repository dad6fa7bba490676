#include "lyra/frames.h"

#include <fmt/format.h>

#include <string>

#include "core/encoding.h"
#include "core/text.h"
#include "lyra/protobuf.h"
#include "lyra/replies.h"
#include "lyra/secure_channel.h"

namespace sonvale::lyra {
namespace {

constexpr std::uint64_t kPhysicalSync = 1;
constexpr std::uint64_t kPhysicalKeepAlive = 4;
constexpr std::uint64_t kPhysicalDisconnect = 6;

constexpr std::uint64_t kFrameConnect = 1;
constexpr std::uint64_t kFrameConfirm = 3;
constexpr std::uint64_t kFrameQuiet = 4;
constexpr std::uint64_t kFrameLogicalSync = 5;
constexpr std::uint64_t kFrameHandshake = 6;

using Reply = std::optional<Bytes>;

Json base_event(const char* name, const FrameContext& ctx) {
  return Json{{"event", name}, {"protocol", "xiaomi_zedidi"}, {"peer", ctx.peer.to_string()}};
}

Json optional_u64(const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }

Json utf8_or_null(ByteSpan bytes) {
  const std::string_view text = as_text(bytes);
  return is_valid_utf8(text) ? Json(std::string(text)) : Json(nullptr);
}

// The last length-delimited field numbered `min_number` or higher.
std::optional<ByteSpan> last_bytes_from(const PbFields& fields, std::uint32_t min_number) {
  std::optional<ByteSpan> found;
  for (const PbField& f : fields) {
    if (f.number >= min_number && f.value.kind == PbValue::Kind::kBytes) found = f.value.bytes;
  }
  return found;
}

// body {2: {2: x}} or {2: {1: x}}, first occurrences.
Result<std::optional<ByteSpan>> nested(ByteSpan body, std::uint32_t outer, std::uint32_t inner) {
  SV_ASSIGN_OR_RETURN(const auto level1, bytes_field(body, outer));
  if (!level1) return std::optional<ByteSpan>{};
  return bytes_field(*level1, inner);
}

Result<Reply> physical_steps(ByteSpan body, PeerSession& session, const FrameContext& ctx) {
  SV_ASSIGN_OR_RETURN(const auto message, nested(body, 2, 2));
  if (!message) return fail(Error::msg("missing physical frame"));
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*message));
  const std::uint64_t type = last_varint(fields, 2).value_or(0);
  const std::optional<ByteSpan> physical_body = last_bytes_from(fields, 3);
  switch (type) {
    case kPhysicalSync: {
      auto account = extract_phone_account(body);
      session.account = account ? std::move(*account) : Bytes{};
      const LyraDeviceKind kind = lyra_device_kind(ctx.device.device_type);
      Json ev = base_event("lyra_physical_sync", ctx);
      ev["receiver_name"] = ctx.device.name;
      ev["lyra_device_type"] = kind.code;
      ev["lyra_device_category"] = kind.category;
      ev["account_hash_hex"] = hex_upper(session.account);
      ctx.events(std::move(ev));
      SV_ASSIGN_OR_RETURN(Bytes reply, build_device_sync_response(ctx.device, session.account,
                                                                  unix_millis(ctx.clock.wall_now())));
      return Reply(std::move(reply));
    }
    case kPhysicalKeepAlive: {
      SV_ASSIGN_OR_RETURN(Bytes reply, build_keep_alive_response(physical_body.value_or(ByteSpan{})));
      return Reply(std::move(reply));
    }
    case kPhysicalDisconnect:
      ctx.events(base_event("lyra_transport_disconnected", ctx));
      return Reply{};
    default:
      return Reply{};
  }
}

Json logical_event(const char* name, const LogicalFrame& frame, const FrameContext& ctx) {
  Json ev = base_event(name, ctx);
  ev["logical_id"] = logical_id_text(frame.logical_id);
  return ev;
}

// The service named in a connect message: its first field 2 as UTF-8 text, else empty.
std::string connect_service(const LogicalFrame& frame) {
  if (!frame.message) return {};
  auto service = bytes_field(*frame.message, 2);
  if (!service || !*service || !is_valid_utf8(as_text(**service))) return {};
  return std::string(as_text(**service));
}

Result<Reply> connect_step(const LogicalFrame& frame, PeerSession& session, const FrameContext& ctx) {
  const std::string service = connect_service(frame);
  SV_ASSIGN_OR_RETURN(ConnectReply reply, build_connect_success_response(frame, session));
  Json ev = logical_event("lyra_logical_connection_accepted", frame, ctx);
  ev["service"] = service;
  ev["client_channel_id"] = nullptr;
  ev["server_channel_id"] = nullptr;
  ev["server_port"] = nullptr;
  if (reply.accepted) {
    session.client_channel_id = reply.accepted->client_channel_id;
    session.server_channel_id = reply.accepted->server_channel_id;
    ev["client_channel_id"] = reply.accepted->client_channel_id;
    ev["server_channel_id"] = reply.accepted->server_channel_id;
    ev["server_port"] = reply.accepted->server_port;
  }
  ctx.events(std::move(ev));
  return Reply(std::move(reply.frame));
}

Result<Reply> logical_steps(ByteSpan body, PeerSession& session, const FrameContext& ctx) {
  SV_ASSIGN_OR_RETURN(const auto record, nested(body, 2, 1));
  if (!record) return fail(Error::msg("missing logical frame"));
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(*record));
  LogicalFrame frame;
  std::optional<ByteSpan> inner;
  for (const PbField& f : fields) {
    if (f.value.kind == PbValue::Kind::kVarint && f.number < 5) {
      frame.outer_scalars.emplace_back(f.number, f.value.varint);
      if (f.number == 3) frame.logical_id = f.value.varint;
      if (f.number == 4) frame.encrypted = f.value.varint != 0;
    } else if (f.value.kind == PbValue::Kind::kBytes && f.number == 5) {
      inner = f.value.bytes;
    }
  }
  if (!inner) return fail(Error::msg("missing logical inner frame"));
  if (frame.encrypted) {
    if (!session.session_key) return fail(Error::msg("encrypted logical frame before ECDH"));
    SV_ASSIGN_OR_RETURN(frame.inner, open_sealed(*session.session_key, *inner));
    session.key_confirmed = true;
  } else {
    frame.inner.assign(inner->begin(), inner->end());
  }
  SV_ASSIGN_OR_RETURN(const PbFields inner_fields, parse_fields(frame.inner));
  frame.frame_type = last_varint(inner_fields, 1).value_or(0);
  if (auto message = last_bytes_from(inner_fields, 2)) frame.message = Bytes(message->begin(), message->end());

  Json trace = logical_event("lyra_logical_frame_trace", frame, ctx);
  trace["frame_type"] = frame.frame_type;
  trace["encrypted"] = frame.encrypted;
  Json scalars = Json::array();
  for (const auto& [n, v] : frame.outer_scalars) scalars.push_back(Json::array({n, v}));
  trace["outer_scalars"] = std::move(scalars);
  trace["inner_hex"] = hex_lower(frame.inner);
  trace["message_hex"] = frame.message ? Json(hex_lower(*frame.message)) : Json(nullptr);
  trace["message_utf8"] = frame.message ? utf8_or_null(*frame.message) : Json(nullptr);
  ctx.events(std::move(trace));

  if (frame.encrypted && frame.frame_type == kFrameConnect) return connect_step(frame, session, ctx);
  if (frame.encrypted && frame.frame_type == kFrameConfirm) {
    Json ev = logical_event("lyra_logical_connection_confirmed", frame, ctx);
    ev["playable"] = false;
    ctx.events(std::move(ev));
    return Reply{};
  }
  switch (frame.frame_type) {
    case kFrameQuiet:
      return Reply{};
    case kFrameLogicalSync: {
      ctx.events(logical_event("lyra_logical_sync", frame, ctx));
      SV_ASSIGN_OR_RETURN(Bytes reply, build_logical_sync_response(frame));
      return Reply(std::move(reply));
    }
    case kFrameHandshake: {
      if (!frame.message) return fail(Error::msg("missing Lyra auth frame"));
      SV_ASSIGN_OR_RETURN(AuthReply auth,
                          build_auth_server_notify(frame.outer_scalars, *frame.message, session));
      Json ev = logical_event("lyra_secure_channel_established", frame, ctx);
      ev["key_index"] = auth.key_index;
      ev["cipher"] = kCipherSuite;
      ev["external_account_required"] = false;
      ctx.events(std::move(ev));
      return Reply(std::move(auth.frame));
    }
    default:
      break;
  }
  Json ev = logical_event("lyra_logical_frame", frame, ctx);
  ev["frame_type"] = frame.frame_type;
  ev["encrypted"] = frame.encrypted;
  ev["payload_hex"] = hex_lower(frame.inner);
  ctx.events(std::move(ev));
  return Reply{};
}

Result<Reply> channel_steps(ByteSpan payload, PeerSession& session, const FrameContext& ctx) {
  if (payload.size() == kFrameHeaderSize) return fail(Error::msg("missing Lyra channel identifier"));
  const std::uint8_t channel_id = payload[kFrameHeaderSize];
  const ByteSpan sealed = payload.subspan(kFrameHeaderSize + 1);
  if (!session.session_key) {
    Json ev = base_event("lyra_channel_frame_rejected", ctx);
    ev["channel_id"] = channel_id;
    ev["reason"] = "missing_session_key";
    ev["encrypted_hex"] = hex_lower(sealed);
    ctx.events(std::move(ev));
    return Reply{};
  }
  auto plain = open_sealed(*session.session_key, sealed);
  if (plain) session.key_confirmed = true;
  Json ev = base_event(plain ? "lyra_channel_frame_decrypted" : "lyra_channel_frame_decrypt_failed", ctx);
  ev["channel_id"] = channel_id;
  ev["expected_channel_id"] = optional_u64(session.server_channel_id);
  ev["client_channel_id"] = optional_u64(session.client_channel_id);
  if (plain) {
    ev["payload_hex"] = hex_lower(*plain);
    ev["payload_utf8"] = utf8_or_null(*plain);
  } else {
    ev["error"] = plain.error().to_string();
    ev["encrypted_hex"] = hex_lower(sealed);
  }
  ctx.events(std::move(ev));
  return Reply{};
}

}  // namespace

LyraDeviceKind lyra_device_kind(std::uint8_t device_type) {
  switch (device_type) {
    case 0:
    case 1:
    case 4:
      return {0, "speaker"};
    case 2:
      return {3, "television"};
    case 3:
      return {3, "computer"};
    case 5:
      return {8, "vehicle"};
    case 16:
      return {5, "display_speaker"};
    case 18:
      return {2, "tablet"};
    default:
      return {2, "vehicle"};
  }
}

std::string logical_id_text(std::uint64_t id) { return fmt::format("{:08X}", id); }

Result<Bytes> transport_frame(std::uint8_t kind, ByteSpan body) {
  const std::size_t total = kFrameHeaderSize + body.size();
  if (total > 0xffff) {
    return fail(Error::msg("Lyra frame of " + std::to_string(total) +
                           " bytes does not fit its 16-bit length"));
  }
  ByteWriter w(total);
  w.u8(kind).u8(kFrameVersion).u16be(static_cast<std::uint16_t>(total)).bytes(body);
  return w.take();
}

Result<> fits_one_datagram(ByteSpan frame) {
  if (frame.size() > kMaxReplyFrame) {
    return fail(Error::msg("Lyra reply frame of " + std::to_string(frame.size()) +
                           " bytes exceeds the datagram limit of " + std::to_string(kMaxReplyFrame)));
  }
  return {};
}

Result<Bytes> wrap_logical(const OuterScalars& outer, ByteSpan inner) {
  Bytes record;
  for (const auto& [n, v] : outer) pb_varint_into(record, n, v);
  pb_bytes_into(record, 5, inner);
  return transport_frame(kKindLogical, pb_bytes(2, pb_bytes(1, record)));
}

Result<Bytes> extract_phone_account(ByteSpan body) {
  SV_ASSIGN_OR_RETURN(const auto physical, nested(body, 2, 2));
  if (!physical) return fail(Error::msg("missing physical sync request"));
  SV_ASSIGN_OR_RETURN(const auto request, bytes_field(*physical, 3));
  if (!request) return fail(Error::msg("missing physical sync request"));
  SV_ASSIGN_OR_RETURN(const auto peer_info, bytes_field(*request, 2));
  if (!peer_info) return fail(Error::msg("missing peer device info"));
  SV_ASSIGN_OR_RETURN(const auto account, bytes_field(*peer_info, 4));
  return account ? Bytes(account->begin(), account->end()) : Bytes{};
}

Result<std::optional<Bytes>> handle_payload(ByteSpan payload, PeerSession& session,
                                            const FrameContext& ctx) {
  if (payload.size() < kFrameHeaderSize || payload[1] != kFrameVersion) {
    return fail(Error::msg("invalid Lyra transport header"));
  }
  const std::size_t declared = (std::size_t{payload[2]} << 8) | payload[3];
  if (declared != payload.size()) {
    return fail(Error::msg("invalid Lyra transport length: declared=" + std::to_string(declared) +
                           ", actual=" + std::to_string(payload.size())));
  }
  const ByteSpan body = payload.subspan(kFrameHeaderSize);
  Json trace = base_event("lyra_transport_frame_trace", ctx);
  trace["transport_kind"] = payload[0];
  trace["body_hex"] = hex_lower(body);
  ctx.events(std::move(trace));
  switch (payload[0]) {
    case kKindPhysical:
      return physical_steps(body, session, ctx);
    case kKindLogical:
      return logical_steps(body, session, ctx);
    case kKindChannel:
      return channel_steps(payload, session, ctx);
    default:
      return Reply{};
  }
}

}  // namespace sonvale::lyra
