#include "lyra/frames.h"

#include <fmt/format.h>

#include <string>

#include "core/text.h"
#include "lyra/lyra_events.h"
#include "lyra/protobuf.h"
#include "lyra/replies.h"
#include "lyra/secure_channel.h"

namespace sonvale::lyra {
namespace {

constexpr std::uint64_t kPhysicalSync = 1;
constexpr std::uint64_t kPhysicalKeepAlive = 4;
constexpr std::uint64_t kPhysicalDisconnect = 6;

using Reply = std::optional<Bytes>;

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
  SV_ASSIGN_OR_RETURN(const PhysicalFrame frame, read_physical(body));
  switch (frame.type) {
    case kPhysicalSync: {
      const auto account = phone_account(frame);
      if (account) {
        session.account.assign(account->begin(), account->end());
      } else {
        session.account.clear();
      }
      const LyraDeviceKind kind = lyra_device_kind(ctx.device.device_type);
      ctx.events(physical_sync_event(ctx.peer, ctx.device.name, kind.code, kind.category, session.account));
      SV_ASSIGN_OR_RETURN(Bytes reply, build_device_sync_response(ctx.device, session.account,
                                                                  unix_millis(ctx.clock.wall_now())));
      return Reply(std::move(reply));
    }
    case kPhysicalKeepAlive: {
      SV_ASSIGN_OR_RETURN(Bytes reply, build_keep_alive_response(frame.payload.value_or(ByteSpan{})));
      return Reply(std::move(reply));
    }
    case kPhysicalDisconnect:
      ctx.events(transport_disconnected_event(ctx.peer));
      return Reply{};
    default:
      return Reply{};
  }
}

Result<Reply> connect_step(const LogicalFrame& frame, PeerSession& session, const FrameContext& ctx) {
  SV_ASSIGN_OR_RETURN(const ConnectRequest request, read_connect_request(frame));
  SV_ASSIGN_OR_RETURN(ConnectReply reply, build_connect_success_response(
                                              frame.outer_scalars, request, session, ctx.device.control_port));
  if (reply.accepted) {
    session.client_channel_id = reply.accepted->client_channel_id;
    session.server_channel_id = reply.accepted->server_channel_id;
  }
  // The service is reported only when it is UTF-8 text.
  const ByteSpan service =
      request.service && is_valid_utf8(as_text(*request.service)) ? *request.service : ByteSpan{};
  ctx.events(connection_accepted_event(ctx.peer, frame, service, reply.accepted));
  return Reply(std::move(reply.frame));
}

// The logical frame of body {2: {1: record}}, opened with the session's key when encrypted.
Result<LogicalFrame> read_logical(ByteSpan body, PeerSession& session) {
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
    SV_ASSIGN_OR_RETURN(frame.opened, open_sealed(*session.session_key, *inner));
    session.key_confirmed = true;
    frame.inner = frame.opened;
  } else {
    frame.inner = *inner;
  }
  SV_ASSIGN_OR_RETURN(const PbFields inner_fields, parse_fields(frame.inner));
  frame.frame_type = last_varint(inner_fields, 1).value_or(0);
  frame.message = last_bytes_from(inner_fields, 2);
  return frame;
}

Result<Reply> logical_steps(ByteSpan body, PeerSession& session, const FrameContext& ctx) {
  SV_ASSIGN_OR_RETURN(const LogicalFrame frame, read_logical(body, session));
  ctx.events(logical_frame_trace_event(ctx.peer, frame));

  if (frame.encrypted && frame.frame_type == kFrameConnect) return connect_step(frame, session, ctx);
  if (frame.encrypted && frame.frame_type == kFrameConfirm) {
    ctx.events(connection_confirmed_event(ctx.peer, frame));
    return Reply{};
  }
  switch (frame.frame_type) {
    case kFrameQuiet:
      return Reply{};
    case kFrameLogicalSync: {
      ctx.events(logical_sync_event(ctx.peer, frame));
      SV_ASSIGN_OR_RETURN(Bytes reply, build_logical_sync_response(frame));
      return Reply(std::move(reply));
    }
    case kFrameHandshake: {
      if (!frame.message) return fail(Error::msg("missing Lyra auth frame"));
      SV_ASSIGN_OR_RETURN(AuthReply auth,
                          build_auth_server_notify(frame.outer_scalars, *frame.message, session));
      ctx.events(secure_channel_established_event(ctx.peer, frame, auth.key_index));
      return Reply(std::move(auth.frame));
    }
    default:
      break;
  }
  ctx.events(logical_frame_event(ctx.peer, frame));
  return Reply{};
}

Result<Reply> channel_steps(ByteSpan payload, PeerSession& session, const FrameContext& ctx) {
  if (payload.size() == kTransportHeaderSize) return fail(Error::msg("missing Lyra channel identifier"));
  const std::uint8_t channel_id = payload[kTransportHeaderSize];
  const ByteSpan sealed = payload.subspan(kTransportHeaderSize + 1);
  if (!session.session_key) {
    ctx.events(channel_frame_rejected_event(ctx.peer, channel_id, sealed));
    return Reply{};
  }
  const auto plain = open_sealed(*session.session_key, sealed);
  if (plain) session.key_confirmed = true;
  ctx.events(channel_frame_opened_event(ctx.peer, channel_id, session.server_channel_id,
                                        session.client_channel_id, plain, sealed));
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

namespace {

Result<std::size_t> frame_size(std::size_t body) {
  const std::size_t total = kTransportHeaderSize + body;
  if (total > 0xffff) {
    return fail(Error::msg("Lyra frame of " + std::to_string(total) +
                           " bytes does not fit its 16-bit length"));
  }
  return total;
}

}  // namespace

Result<Bytes> transport_frame(std::uint8_t kind, ByteSpan body) {
  SV_ASSIGN_OR_RETURN(const std::size_t total, frame_size(body.size()));
  ByteWriter w(total);
  w.u8(kind).u8(kFrameVersion).u16be(static_cast<std::uint16_t>(total)).bytes(body);
  return w.take();
}

Result<Bytes> transport_frame(std::uint8_t kind, std::span<const PbOut> body) {
  SV_ASSIGN_OR_RETURN(const std::size_t total, frame_size(pb_size(body)));
  ByteWriter w(total);
  w.u8(kind).u8(kFrameVersion).u16be(static_cast<std::uint16_t>(total));
  Bytes out = w.take();
  pb_append(out, body);
  return out;
}

Result<> fits_one_datagram(ByteSpan frame) {
  if (frame.size() > kMaxReplyFrame) {
    return fail(Error::msg("Lyra reply frame of " + std::to_string(frame.size()) +
                           " bytes exceeds the datagram limit of " + std::to_string(kMaxReplyFrame)));
  }
  return {};
}

Result<Bytes> wrap_logical(const OuterScalars& outer, ByteSpan inner) {
  return logical_frame(outer, PbOut::data(5, inner));
}

Result<Bytes> logical_frame(const OuterScalars& outer, const PbOut& inner) {
  std::vector<PbOut> record;
  record.reserve(outer.size() + 1);
  for (const auto& [n, v] : outer) record.push_back(PbOut::varint(n, v));
  record.push_back(inner);
  record.back().number = 5;
  const PbOut logical[] = {PbOut::message(1, record)};
  const PbOut body[] = {PbOut::message(2, logical)};
  return transport_frame(kKindLogical, body);
}

Result<PhysicalFrame> read_physical(ByteSpan body) {
  SV_ASSIGN_OR_RETURN(const auto message, nested(body, 2, 2));
  if (!message) return fail(Error::msg("missing physical frame"));
  PhysicalFrame frame;
  SV_ASSIGN_OR_RETURN(frame.fields, parse_fields(*message));
  frame.type = last_varint(frame.fields, 2).value_or(0);
  frame.payload = last_bytes_from(frame.fields, 3);
  return frame;
}

Result<ByteSpan> phone_account(const PhysicalFrame& frame) {
  const std::optional<ByteSpan> request = first_bytes(frame.fields, 3);
  if (!request) return fail(Error::msg("missing physical sync request"));
  SV_ASSIGN_OR_RETURN(const auto peer_info, bytes_field(*request, 2));
  if (!peer_info) return fail(Error::msg("missing peer device info"));
  SV_ASSIGN_OR_RETURN(const auto account, bytes_field(*peer_info, 4));
  return account.value_or(ByteSpan{});
}

Result<std::optional<Bytes>> handle_payload(ByteSpan payload, PeerSession& session,
                                            const FrameContext& ctx) {
  if (payload.size() < kTransportHeaderSize || payload[1] != kFrameVersion) {
    return fail(Error::msg("invalid Lyra transport header"));
  }
  const std::size_t declared = (std::size_t{payload[2]} << 8) | payload[3];
  if (declared != payload.size()) {
    return fail(Error::msg("invalid Lyra transport length: declared=" + std::to_string(declared) +
                           ", actual=" + std::to_string(payload.size())));
  }
  const ByteSpan body = payload.subspan(kTransportHeaderSize);
  ctx.events(transport_frame_trace_event(ctx.peer, payload[0], body));
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
