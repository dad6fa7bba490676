// Cost of the Lyra server's work per datagram, without the socket: a phone's keep-alive push
// answered and cached; the same push from a new source address each time (the flood shape: a
// session created and the least recently active one evicted); one P-256 handshake; and the CPU
// time of one turn of the receive loop (resend pass and one ack datagram) while 256 sessions
// wait for acknowledgements, as a ratio to the same turn with one such session.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <vector>

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

const LyraDevice kDevice{"1A2B3C4D", "Desk", "macOS", 3, 8899};

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

// A clock that stands still: pending replies never fall due, so every turn meets the same table.
class StillClock final : public Clock {
 public:
  time_point now() const override { return time_point(std::chrono::seconds(1000)); }
  wall_time_point wall_now() const override { return wall_time_point(std::chrono::seconds(1700000000)); }
};

Bytes segment(std::uint8_t cmd, std::uint32_t sn, std::uint32_t una, ByteSpan payload = {}) {
  return encode_segment(SegmentHeader{1, cmd, 0, 128, 0, sn, una, 0}, payload);
}

// `sessions` phones that each acknowledged their first reply and left their second one unacknowledged.
struct WaitingSessions {
  NullSocket socket;
  std::shared_ptr<const Clock> clock = std::make_shared<StillClock>();
  EventSink events{[](Json e) { benchmark::DoNotOptimize(e); }};
  SegmentTransport transport{socket, clock, events,
                             [this](ByteSpan payload, PeerSession& session, SocketAddrV4 peer) {
                               const FrameContext ctx{kDevice, *clock, peer, events};
                               return handle_payload(payload, session, ctx);
                             }};
  SocketAddrV4 first{Ipv4::from_octets(10, 1, 0, 0), 5000};
  Bytes ack = segment(kCmdAck, 0, 1);

  explicit WaitingSessions(std::uint32_t sessions) {
    const Bytes frame = keep_alive(64);
    for (std::uint32_t i = 0; i < sessions; ++i) {
      const SocketAddrV4 phone{Ipv4{first.ip.value + i}, 5000};
      transport.on_datagram(segment(kCmdPush, 0, 0, frame), phone);
      transport.on_datagram(segment(kCmdAck, 0, 1), phone);
      transport.on_datagram(segment(kCmdPush, 1, 0, frame), phone);
    }
  }
  // One turn of the receive loop: the resend pass, then a repeated ack from the first phone.
  void turn() {
    transport.resend_due(clock->now());
    transport.on_datagram(ack, first);
  }
};

std::int64_t thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Both tables are driven in the same run, batch by batch in turn, so that the ratio compares like
// with like on a busy machine.
void BM_TurnWithWaitingSessions(benchmark::State& state) {
  WaitingSessions one(1);
  WaitingSessions many(256);
  if (many.transport.pending_count() != 256) state.SkipWithError("sessions are not waiting");
  constexpr int kBatch = 2000;
  std::int64_t one_ns = 0;
  std::int64_t many_ns = 0;
  std::int64_t turns = 0;
  for (auto _ : state) {
    std::int64_t t0 = thread_cpu_ns();
    for (int i = 0; i < kBatch; ++i) one.turn();
    std::int64_t t1 = thread_cpu_ns();
    for (int i = 0; i < kBatch; ++i) many.turn();
    std::int64_t t2 = thread_cpu_ns();
    one_ns += t1 - t0;
    many_ns += t2 - t1;
    turns += kBatch;
  }
  state.counters["cpu_ns_1_waiting"] = static_cast<double>(one_ns) / static_cast<double>(turns);
  state.counters["cpu_ns_256_waiting"] = static_cast<double>(many_ns) / static_cast<double>(turns);
  state.counters["ratio_256_to_1"] = static_cast<double>(many_ns) / static_cast<double>(one_ns);
}
BENCHMARK(BM_TurnWithWaitingSessions)->MinTime(2.0);

}  // namespace
}  // namespace sonvale::lyra

BENCHMARK_MAIN();
