// Cost of the Lyra server's work per datagram, without the socket: a phone's keep-alive push
// answered and cached; the same push from a new source address each time (the flood shape: a
// session created and the least recently active one evicted); and one P-256 handshake.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/clock.h"
#include "core/crypto/p256.h"
#include "lyra/frames.h"
#include "lyra/protobuf.h"
#include "lyra/secure_channel.h"
#include "lyra/segment.h"
#include "lyra/segment_transport.h"

namespace sonvale::lyra {
namespace {

class NullSocket final : public DatagramSocket {
 public:
  Result<Datagram> receive(std::span<std::uint8_t>) override { return fail(Error::os(EAGAIN)); }
  Result<> send_to(ByteSpan, const SocketAddr&) override { return {}; }
};

const LyraDevice kDevice{"1A2B3C4D", "Desk", "macOS", 3};

Bytes keep_alive(std::size_t body) {
  const Bytes message = pb_join<2>({pb_varint(2, 4), pb_bytes(7, Bytes(body, 0x61))});
  return *transport_frame(kKindPhysical, pb_bytes(2, pb_bytes(2, message)));
}

SegmentTransport make_transport(NullSocket& socket, const EventSink& events) {
  return SegmentTransport(socket, system_clock(), events,
                          [&events](ByteSpan payload, PeerSession& session, SocketAddrV4 peer) {
                            const FrameContext ctx{kDevice, *system_clock(), peer, events};
                            return handle_payload(payload, session, ctx);
                          });
}

void BM_KeepAlivePush(benchmark::State& state) {
  NullSocket socket;
  const EventSink events([](Json e) { benchmark::DoNotOptimize(e); });
  SegmentTransport transport = make_transport(socket, events);
  const Bytes frame = keep_alive(static_cast<std::size_t>(state.range(0)));
  const SocketAddrV4 phone{Ipv4::loopback(), 40000};
  std::uint32_t sn = 0;
  for (auto _ : state) {
    transport.on_datagram(encode_segment(SegmentHeader{1, kCmdPush, 0, 128, 0, sn++, 0, 0}, frame), phone);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_KeepAlivePush)->Arg(16)->Arg(1024)->Arg(60000);

void BM_PushFromNewAddress(benchmark::State& state) {
  NullSocket socket;
  const EventSink events([](Json e) { benchmark::DoNotOptimize(e); });
  SegmentTransport transport = make_transport(socket, events);
  const Bytes datagram = encode_segment(SegmentHeader{1, kCmdPush, 0, 128, 0, 1, 0, 0}, keep_alive(64));
  std::uint32_t n = 0;
  for (auto _ : state) {
    transport.on_datagram(datagram, SocketAddrV4{Ipv4{0x0a000000u + (n++ & 0xffffff)}, 5000});
  }
  if (transport.session_count() > 256) state.SkipWithError("session cap not held");
}
BENCHMARK(BM_PushFromNewAddress);

void BM_Handshake(benchmark::State& state) {
  auto client = *P256PrivateKey::generate();
  const P256Point point = *client.public_point();
  const Bytes suite = pb_join<2>({pb_bytes(2, Bytes(32, 7)), pb_bytes(5, pb_bytes(2, point))});
  const Bytes message = pb_bytes(2, pb_bytes(8, pb_bytes(2, pb_bytes(1, suite))));
  PeerSession session;
  for (auto _ : state) {
    auto reply = build_auth_server_notify({{3, 1}}, message, session);
    if (!reply) state.SkipWithError("handshake failed");
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_Handshake);

}  // namespace
}  // namespace sonvale::lyra

BENCHMARK_MAIN();
