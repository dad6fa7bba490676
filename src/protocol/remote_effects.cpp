#include "protocol/remote_effects.h"

#include <limits>

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

RemoteEffects::Expectation RemoteEffects::expect(std::uint64_t session_id, RemoteEffectKind kind) {
  auto [waiter, confirmation] = make_channel<bool>();
  std::lock_guard lock(state_.mu);
  const std::uint64_t id = next_id_++;
  if (ended_) {
    (void)waiter.send(false);
    return Expectation{id, std::move(confirmation)};
  }
  if (kind.type == RemoteEffectKind::Type::kTrackChange) kind.track_snapshot = state_.track_generation;
  if (kind.type == RemoteEffectKind::Type::kSeekPosition) {
    kind.position_snapshot = state_.position_generation;
  }
  state_.pending.emplace(id, PendingRemoteEffect{std::move(waiter), kind, session_id});
  return Expectation{id, std::move(confirmation)};
}

void RemoteEffects::forget(std::uint64_t effect_id) {
  std::optional<PendingRemoteEffect> removed;  // released after the lock
  std::lock_guard lock(state_.mu);
  if (auto node = state_.pending.extract(effect_id)) removed = std::move(node.mapped());
}

void RemoteEffects::complete_matching(
    const std::function<bool(const PendingRemoteEffect&)>& matches, bool value) {
  std::vector<Sender<bool>> waiters;
  {
    std::lock_guard lock(state_.mu);
    waiters = drain_matching_effects(state_, matches);
  }
  complete_remote_effects(std::move(waiters), value);
}

void RemoteEffects::observe_playback(std::uint64_t session_id, bool paused) {
  complete_matching(
      [&](const PendingRemoteEffect& e) {
        return e.session_id == session_id && e.kind.type == RemoteEffectKind::Type::kPlayState &&
               e.kind.target_paused == paused;
      },
      true);
}

RemoteEffects::PositionSeen RemoteEffects::observe_position(std::uint64_t session_id,
                                                            std::uint64_t position_ms) {
  PositionSeen seen{true, false};
  std::vector<Sender<bool>> waiters;
  {
    std::lock_guard lock(state_.mu);
    if (const auto& last = state_.last_position) {
      const auto [s, p] = *last;
      seen.changed = s != session_id || p != position_ms;
      std::uint64_t ahead = 0;
      if (__builtin_add_overflow(p, kWeakResumeStep, &ahead)) {
        ahead = std::numeric_limits<std::uint64_t>::max();
      }
      seen.moved_on = s == session_id && ahead < position_ms;
    }
    state_.last_position = std::make_pair(session_id, position_ms);
    const std::uint64_t g = ++state_.position_generation;
    waiters = drain_matching_effects(state_, [&](const PendingRemoteEffect& e) {
      if (e.session_id != session_id || e.kind.type != RemoteEffectKind::Type::kSeekPosition) {
        return false;
      }
      const std::uint64_t target = e.kind.target_position_ms;
      const std::uint64_t distance = target > position_ms ? target - position_ms : position_ms - target;
      return g > e.kind.position_snapshot && distance <= kSeekTolerance;
    });
  }
  complete_remote_effects(std::move(waiters), true);
  return seen;
}

void RemoteEffects::observe_media_info(std::uint64_t session_id,
                                       const std::optional<MediaInfo>& info) {
  std::optional<std::string> fingerprint;
  if (info) {
    const std::string id = info->id.value_or("");
    if (!id.empty() || !info->title.empty() || !info->artist.empty() || !info->album.empty()) {
      fingerprint = id + '\x1f' + info->title + '\x1f' + info->artist + '\x1f' + info->album;
    }
  }
  std::vector<Sender<bool>> waiters;
  {
    std::lock_guard lock(state_.mu);
    if (fingerprint && fingerprint != state_.media_fingerprint) {
      state_.media_fingerprint = fingerprint;
      ++state_.track_generation;
      state_.last_position.reset();
    }
    const std::uint64_t generation = state_.track_generation;
    waiters = drain_matching_effects(state_, [&](const PendingRemoteEffect& e) {
      return e.session_id == session_id && e.kind.type == RemoteEffectKind::Type::kTrackChange &&
             generation > e.kind.track_snapshot;
    });
  }
  complete_remote_effects(std::move(waiters), true);
}

void RemoteEffects::confirm_resume(std::uint64_t session_id) {
  complete_matching(
      [&](const PendingRemoteEffect& e) {
        return e.session_id == session_id && e.kind.type == RemoteEffectKind::Type::kPlayState &&
               !e.kind.target_paused;
      },
      true);
}

void RemoteEffects::end_session(std::uint64_t session_id) {
  std::vector<Sender<bool>> waiters;
  {
    std::lock_guard lock(state_.mu);
    waiters = drain_matching_effects(
        state_, [&](const PendingRemoteEffect& e) { return e.session_id == session_id; });
    if (state_.last_position && state_.last_position->first == session_id) {
      state_.last_position.reset();
    }
  }
  complete_remote_effects(std::move(waiters), false);
}

void RemoteEffects::end_all() {
  std::vector<Sender<bool>> waiters;
  {
    std::lock_guard lock(state_.mu);
    ended_ = true;
    waiters = drain_matching_effects(state_, [](const PendingRemoteEffect&) { return true; });
  }
  complete_remote_effects(std::move(waiters), false);
}

void RemoteEffects::reset_track() {
  std::lock_guard lock(state_.mu);
  state_.last_position.reset();
  state_.media_fingerprint.reset();
}

std::size_t RemoteEffects::pending_count() const {
  std::lock_guard lock(state_.mu);
  return state_.pending.size();
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> RemoteEffects::last_position() const {
  std::lock_guard lock(state_.mu);
  return state_.last_position;
}

}  // namespace sonvale
