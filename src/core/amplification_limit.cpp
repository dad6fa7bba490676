#include "core/amplification_limit.h"


namespace sonvale {

void AmplificationLimit::regain(Budget& b, Clock::time_point now) const {
  const auto allowance = static_cast<std::int64_t>(policy_.allowance);
  if (policy_.regain_per_second == 0 || now <= b.regained_at) return;
  if (b.balance >= allowance) {
    b.regained_at = now;
    return;
  }
  const auto us = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(now - b.regained_at).count());
  const auto missing = static_cast<std::uint64_t>(allowance - b.balance);
  // Whole bytes only; the time of a byte's fraction counts towards the next one.
  const std::uint64_t regained = us >= missing * 1'000'000 / policy_.regain_per_second + 1
                                     ? missing
                                     : us * policy_.regain_per_second / 1'000'000;
  b.balance += static_cast<std::int64_t>(regained);
  if (b.balance >= allowance) {
    b.regained_at = now;
  } else {
    b.regained_at += std::chrono::microseconds(regained * 1'000'000 / policy_.regain_per_second);
  }
}

void AmplificationLimit::received(Ipv4 from, std::size_t bytes, Clock::time_point now) {
  if (capacity_ == 0) return;
  auto it = by_address_.find(from.value);
  if (it != by_address_.end()) {
    budgets_.splice(budgets_.begin(), budgets_, it->second);
    regain(budgets_.front(), now);
  } else {
    if (budgets_.size() >= capacity_) {
      by_address_.erase(budgets_.back().address.value);
      budgets_.pop_back();
    }
    budgets_.push_front(Budget{from, static_cast<std::int64_t>(policy_.allowance), now});
    by_address_[from.value] = budgets_.begin();
  }
  budgets_.front().balance += static_cast<std::int64_t>(policy_.factor * (bytes + kDatagramOverhead));
}

bool AmplificationLimit::try_send(Ipv4 to, std::size_t bytes, Clock::time_point now) {
  auto it = by_address_.find(to.value);
  if (it == by_address_.end()) return false;
  Budget& b = *it->second;
  regain(b, now);
  const auto cost = static_cast<std::int64_t>(bytes + kDatagramOverhead);
  if (cost > b.balance) return false;
  b.balance -= cost;
  return true;
}

}  // namespace sonvale
