#include "media/clock/presentation_clock.h"

#include <limits>
#include <utility>

#include "core/numeric.h"

namespace sonvale {
namespace {

constexpr std::int64_t kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMaxStepUs = 5000;

// ppb x interval / 1e9, truncated toward zero, clamped to the 64-bit range.
std::int64_t drift(std::int64_t ppb, std::int64_t interval_us) {
  const Int128 product = static_cast<Int128>(ppb) * interval_us / 1'000'000'000;
  if (product > kI64Max) return kI64Max;
  if (product < std::numeric_limits<std::int64_t>::min()) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(product);
}

std::int64_t sub_or_max(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  return __builtin_sub_overflow(a, b, &r) ? kI64Max : r;
}

std::int64_t add_or_max(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  return __builtin_add_overflow(a, b, &r) ? kI64Max : r;
}

}  // namespace

std::shared_ptr<ZeDidiPresentationClock> ZeDidiPresentationClock::create(
    std::shared_ptr<const Clock> clock) {
  return std::make_shared<ZeDidiPresentationClock>(std::move(clock));
}

ZeDidiPresentationClock::ZeDidiPresentationClock(std::shared_ptr<const Clock> clock)
    : clock_(std::move(clock)), base_(clock_->now()) {}

std::int64_t ZeDidiPresentationClock::local_now_us() const {
  const auto elapsed = clock_->now() - base_;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
  return us < 0 ? 0 : static_cast<std::int64_t>(us);
}

bool ZeDidiPresentationClock::is_synchronized() const {
  return synchronized_.load(std::memory_order_acquire);
}

// Seqlock read: retried until the sequence is even and unchanged across the three loads.
ZeDidiPresentationClock::Mapping ZeDidiPresentationClock::read_mapping() const {
  for (;;) {
    const std::uint64_t before = sequence_.load(std::memory_order_acquire);
    if (before & 1u) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
      continue;
    }
    // Acquire loads keep the second sequence load after the three field loads: a field written
    // by a newer publication makes that publication's odd increment visible to it.
    Mapping m{anchor_local_us_.load(std::memory_order_acquire),
              server_minus_local_us_.load(std::memory_order_acquire),
              frequency_ppb_.load(std::memory_order_acquire)};
    if (sequence_.load(std::memory_order_relaxed) == before) return m;
  }
}

// Single writer: the sequence is odd while the three fields change.
void ZeDidiPresentationClock::publish(const Mapping& m) {
  sequence_.fetch_add(1, std::memory_order_acq_rel);
  anchor_local_us_.store(m.anchor_local_us, std::memory_order_release);
  server_minus_local_us_.store(m.server_minus_local_us, std::memory_order_release);
  frequency_ppb_.store(m.frequency_ppb, std::memory_order_release);
  sequence_.fetch_add(1, std::memory_order_release);
}

ClockUpdate ZeDidiPresentationClock::update_server_clock(const ClockEstimate& estimate) {
  const std::int64_t now = local_now_us();
  const bool was_synchronized = synchronized_.load(std::memory_order_acquire);
  const Mapping old = read_mapping();

  const double slope = estimate.rate - 1.0;
  const std::int64_t target_ppb = round_to_i64(slope * 1'000'000'000.0);
  const std::int64_t since = sub_or_max(now, estimate.anchor_local_us);
  const std::int64_t target = round_to_i64(estimate.offset_us + slope * static_cast<double>(since));

  std::int64_t applied = target;
  std::int64_t phase_error = target;
  std::int64_t ppb = target_ppb;
  if (was_synchronized) {
    const std::int64_t elapsed = sat_sub(now, old.anchor_local_us);
    const std::int64_t predicted = sat_add(old.server_minus_local_us, drift(old.frequency_ppb, elapsed));
    phase_error = sat_sub(target, predicted);
    std::int64_t step = round_to_i64(static_cast<double>(phase_error) / 4.0);
    if (step > kMaxStepUs) step = kMaxStepUs;
    if (step < -kMaxStepUs) step = -kMaxStepUs;
    applied = sat_add(predicted, step);
    ppb = sat_add(old.frequency_ppb,
                  round_to_i64(static_cast<double>(sat_sub(target_ppb, old.frequency_ppb)) / 4.0));
  }

  publish(Mapping{now, applied, ppb});
  synchronized_.store(true, std::memory_order_release);

  return ClockUpdate{applied, target, phase_error, static_cast<double>(ppb) / 1000.0};
}

std::optional<std::int64_t> ZeDidiPresentationClock::synchronized_server_now_micros() const {
  if (!synchronized_.load(std::memory_order_acquire)) return std::nullopt;
  const std::int64_t now = local_now_us();
  const Mapping m = read_mapping();
  const std::int64_t elapsed = sub_or_max(now, m.anchor_local_us);
  return sat_add(add_or_max(now, m.server_minus_local_us), drift(m.frequency_ppb, elapsed));
}

void ZeDidiPresentationClock::set_time_offset(std::int64_t offset_us) {
  time_offset_us_.store(offset_us, std::memory_order_release);
  time_offset_known_.store(true, std::memory_order_release);
}

std::optional<std::int64_t> ZeDidiPresentationClock::time_offset() const {
  if (!time_offset_known_.load(std::memory_order_acquire)) return std::nullopt;
  return time_offset_us_.load(std::memory_order_acquire);
}

}  // namespace sonvale
