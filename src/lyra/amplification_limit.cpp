#include "lyra/amplification_limit.h"

namespace sonvale::lyra {

void AmplificationLimit::received(Ipv4 from, std::size_t bytes) {
  if (capacity_ == 0) return;
  auto it = by_address_.find(from.value);
  if (it != by_address_.end()) {
    budgets_.splice(budgets_.begin(), budgets_, it->second);
  } else {
    if (budgets_.size() >= capacity_) {
      by_address_.erase(budgets_.back().address.value);
      budgets_.pop_back();
    }
    budgets_.push_front(Budget{from});
    by_address_[from.value] = budgets_.begin();
  }
  budgets_.front().received += bytes + kDatagramOverhead;
}

bool AmplificationLimit::try_send(Ipv4 to, std::size_t bytes) {
  auto it = by_address_.find(to.value);
  if (it == by_address_.end()) return false;
  Budget& b = *it->second;
  const std::uint64_t limit = kAmplificationFactor * b.received + kAmplificationAllowance;
  const std::uint64_t cost = bytes + kDatagramOverhead;
  if (b.sent + cost > limit) return false;
  b.sent += cost;
  return true;
}

}  // namespace sonvale::lyra
