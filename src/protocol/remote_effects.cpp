#include "protocol/remote_effects.h"

namespace sonvale {

std::vector<Sender<bool>> drain_matching_effects(
    RemoteEffectState& state, const std::function<bool(const PendingRemoteEffect&)>& matches) {
  std::vector<std::uint64_t> ids;
  for (const auto& [id, effect] : state.pending) {
    if (matches(effect)) ids.push_back(id);
  }
  std::vector<Sender<bool>> waiters;
  waiters.reserve(ids.size());
  for (const std::uint64_t id : ids) {
    auto node = state.pending.extract(id);
    waiters.push_back(std::move(node.mapped().waiter));
  }
  return waiters;
}

void complete_remote_effects(std::vector<Sender<bool>> waiters, bool value) {
  for (const auto& waiter : waiters) (void)waiter.send(value);
}

}  // namespace sonvale
