// Fuzzes the Lyra secure channel under a fixed session key: the input as a handshake message,
// as a connect message, as sealed bytes, and sealed under the key as the inner frame of an
// encrypted logical frame and as a channel record, so that the opened-frame dispatch is reached.

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/clock.h"
#include "lyra/frames.h"
#include "lyra/replies.h"
#include "lyra/secure_channel.h"

using namespace sonvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  std::array<std::uint8_t, 32> raw{};
  raw.fill(0x4b);
  const Key256 key(raw);

  lyra::PeerSession session;
  session.session_key = key;
  (void)lyra::build_auth_server_notify({{3, 1}}, input, session);
  session.session_key = key;

  lyra::LogicalFrame connect;
  connect.outer_scalars = {{3, 1}, {4, 1}};
  connect.frame_type = 1;
  connect.encrypted = true;
  connect.message = input;
  (void)lyra::build_connect_success_response(connect, session, 8899);
  (void)lyra::open_sealed(key, input);

  if (size > 60000) return 0;
  const lyra::LyraDevice device{"1A2B3C4D", "Desk", "macOS", 3, 8899};
  EventSink events([](Json e) { (void)compact_json(e); });
  const lyra::FrameContext ctx{device, *system_clock(), SocketAddrV4{Ipv4::loopback(), 1}, events};
  auto sealed = lyra::seal(key, input);
  if (!sealed) return 0;
  if (auto frame = lyra::wrap_logical({{3, 2}, {4, 1}}, *sealed)) {
    (void)lyra::handle_payload(*frame, session, ctx);
  }
  Bytes channel_body{7};
  channel_body.insert(channel_body.end(), sealed->begin(), sealed->end());
  if (auto frame = lyra::transport_frame(lyra::kKindChannel, channel_body)) {
    (void)lyra::handle_payload(*frame, session, ctx);
  }
  return 0;
}
