#include "core/amplification_limit.h"

#include <iterator>

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

void AmplificationLimit::give_way(Clock::time_point now) {
  const auto last = std::prev(budgets_.end());
  by_address_.erase(last->address.value);
  regain(*last, now);
  // One with a full allowance left loses nothing by coming back fresh.
  if (last->balance >= static_cast<std::int64_t>(policy_.allowance) || remembered_capacity_ == 0) {
    budgets_.erase(last);
    return;
  }
  if (remembered_.size() >= remembered_capacity_) {
    remembered_by_address_.erase(remembered_.back().address.value);
    remembered_.pop_back();
  }
  remembered_.splice(remembered_.begin(), budgets_, last);
  remembered_by_address_[last->address.value] = remembered_.begin();
}

void AmplificationLimit::received(Ipv4 from, std::size_t bytes, Clock::time_point now) {
  if (capacity_ == 0) return;
  auto it = by_address_.find(from.value);
  if (it != by_address_.end()) {
    budgets_.splice(budgets_.begin(), budgets_, it->second);
    regain(budgets_.front(), now);
  } else {
    // Taken out of the memory before the address it gives way to may fill that.
    BudgetList back;
    if (auto at = remembered_by_address_.find(from.value); at != remembered_by_address_.end()) {
      back.splice(back.begin(), remembered_, at->second);
      remembered_by_address_.erase(at);
      regain(back.front(), now);
    } else {
      back.push_front(Budget{from, static_cast<std::int64_t>(policy_.allowance), now});
    }
    if (budgets_.size() >= capacity_) give_way(now);
    budgets_.splice(budgets_.begin(), back);
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
