#include "media/clock/clock_sync.h"

#include <array>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/numeric.h"
#include "core/thread.h"
#include "core/udp_socket.h"
#include "media/clock/timer_clock_estimator.h"
#include "media/clock/timer_exchange.h"
#include "media/media_events.h"

namespace sonvale {
namespace {

constexpr int kAttemptsPerRound = 10;
constexpr int kMaxDatagramsPerExchange = 8;

enum class RoundEnd { kComplete, kAbandoned, kStop };

class ClockSync {
 public:
  ClockSync(TimerSyncInputs inputs, ClockSyncTiming timing)
      : in_(std::move(inputs)), timing_(timing), sequence_(timing.initial_sequence) {
    samples_.reserve(kAttemptsPerRound);
  }

  void run() {
    auto bound = UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::unspecified(), 0}));
    if (!bound) {
      in_.shared.events(clock_sync_bind_failed_event(bound.error()));
      return;
    }
    UdpSocket socket = std::move(*bound);
    (void)socket.set_recv_timeout(timing_.io_timeout);
    (void)socket.set_send_timeout(timing_.io_timeout);
    if (auto connected = socket.connect(SocketAddr(in_.server)); !connected) {
      in_.shared.events(clock_sync_connect_failed_event(connected.error()));
      return;
    }

    if (!in_.shared.session_alive->load(std::memory_order_acquire)) return;
    for (;;) {
      if (generation_moved()) return;
      if (in_.shared.gate.blocked()) {
        std::this_thread::sleep_for(timing_.hold_sleep);
      } else {
        const RoundEnd end = run_round(socket);
        if (end == RoundEnd::kStop) return;
        if (end == RoundEnd::kComplete) {
          if (auto estimate = estimator_.observe_round(samples_)) report(*estimate);
          if (!pause()) return;
        }
      }
      if (!in_.shared.session_alive->load(std::memory_order_acquire)) return;
    }
  }

 private:
  bool generation_moved() const {
    return !in_.token.current();
  }
  bool should_end() const {
    return !in_.shared.session_alive->load(std::memory_order_acquire) || generation_moved();
  }

  RoundEnd run_round(UdpSocket& socket) {
    samples_.clear();
    for (int attempt = 0; attempt < kAttemptsPerRound; ++attempt) {
      if (should_end()) return RoundEnd::kStop;
      if (in_.shared.gate.blocked()) return RoundEnd::kAbandoned;
      if (auto sample = exchange(socket)) {
        samples_.push_back(*sample);
        std::this_thread::sleep_for(timing_.sample_pause);
      }
    }
    return RoundEnd::kComplete;
  }

  // One request and its reply. A reply counts only when it is exactly 40 bytes long (a longer
  // datagram is not a reply, whatever its first 40 bytes hold) and echoes the sequence number just
  // sent. Any other datagram (a reply that came after its exchange gave up, a duplicate, anything
  // else) is read and dropped until the exchange's time-out: left queued, it would be read as the
  // next exchange's reply, and that one's reply as the one after, so that no exchange could
  // succeed again. At most kMaxDatagramsPerExchange are read, so a flood costs little.
  std::optional<TimerSample> exchange(UdpSocket& socket) {
    const std::int64_t sent = in_.shared.presentation->local_now_us();
    ++sequence_;
    const auto request = build_timer_request(sent, sequence_);
    const auto written = socket.send(request);
    if (!written || *written != request.size()) return std::nullopt;

    const std::int64_t deadline =
        sat_add(sent, std::chrono::microseconds(timing_.io_timeout).count());
    std::optional<TimerSample> sample;
    bool shortened = false;
    std::array<std::uint8_t, kTimerMessageSize> buf{};
    for (int read = 0; read < kMaxDatagramsPerExchange && !sample; ++read) {
      if (read > 0) {
        const std::int64_t left = sat_sub(deadline, in_.shared.presentation->local_now_us());
        if (left <= 0) break;
        (void)socket.set_recv_timeout(std::chrono::microseconds(left));
        shortened = true;
      }
      const auto datagram = socket.receive(buf);
      if (!datagram) break;
      const std::int64_t received = in_.shared.presentation->local_now_us();
      if (datagram->wire_size != kTimerMessageSize) continue;
      const auto reply = parse_timer_reply(ByteSpan(buf.data(), datagram->size));
      if (!reply || reply->sequence != sequence_) continue;
      sample = timer_sample_from_exchange(sent, received, *reply);
      if (!sample) break;  // this exchange's own reply, but unusable
    }
    if (shortened) (void)socket.set_recv_timeout(timing_.io_timeout);
    return sample;
  }

  void report(const ClockEstimate& estimate) {
    const ClockUpdate update = in_.shared.presentation->update_server_clock(estimate);
    in_.shared.events(clock_synchronized_event(in_.server.to_string(), update, estimate));
  }

  // The pause between rounds, cut short by a PLAY request. False when the thread must end.
  bool pause() {
    for (int step = 0; step < timing_.pause_steps; ++step) {
      if (should_end()) return false;
      if (in_.shared.play_received->exchange(false, std::memory_order_acq_rel)) return true;
      std::this_thread::sleep_for(timing_.pause_step);
    }
    return true;
  }

  TimerSyncInputs in_;
  ClockSyncTiming timing_;
  TimerClockEstimator estimator_;
  std::uint32_t sequence_;
  std::vector<TimerSample> samples_;
};

}  // namespace

void clock_sync_main(TimerSyncInputs inputs, ClockSyncTiming timing) {
  ClockSync(std::move(inputs), timing).run();
}

void spawn_timer_synchronizer(TimerSyncInputs inputs) {
  auto thread = spawn_named("sonvale-clock-sync", [inputs = std::move(inputs)]() mutable {
    clock_sync_main(std::move(inputs));
  });
  if (thread) thread->detach();
}

}  // namespace sonvale
