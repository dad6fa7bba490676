#pragma once

// The records through which a host command waits for the phone's reports to show its effect.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/channel.h"

namespace sonvale {

struct RemoteEffectKind {
  enum class Type : std::uint8_t { kPlayState, kTrackChange, kSeekPosition };
  Type type = Type::kPlayState;
  bool target_paused = false;           // kPlayState
  std::uint64_t track_snapshot = 0;     // kTrackChange: track_generation at registration
  std::uint64_t target_position_ms = 0; // kSeekPosition
  std::uint64_t position_snapshot = 0;  // kSeekPosition: position_generation at registration
};

struct PendingRemoteEffect {
  Sender<bool> waiter;  // at most one value is ever sent on it
  RemoteEffectKind kind;
  std::uint64_t session_id = 0;
};

// The hub part `effects`; every field is guarded by `mu`.
struct RemoteEffectState {
  std::mutex mu;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> last_position;  // (session id, ms)
  std::optional<std::string> media_fingerprint;
  std::map<std::uint64_t, PendingRemoteEffect> pending;
  std::uint64_t track_generation = 0;
  std::uint64_t position_generation = 0;
};

// The hub part `dispatch`; its mutex also serialises all remote commands.
struct ControlDispatchState {
  struct LastDispatch {
    std::chrono::steady_clock::time_point sent_at;
    std::uint64_t session_id = 0;
    bool paused = false;
  };
  std::mutex mu;
  std::optional<LastDispatch> last_dispatch;
};

// Removes every pending effect that matches and returns their waiters. The caller holds
// `state.mu`.
std::vector<Sender<bool>> drain_matching_effects(
    RemoteEffectState& state, const std::function<bool(const PendingRemoteEffect&)>& matches);

// Sends `value` to each waiter (a waiter whose receiver is gone is skipped). Call with no lock held.
void complete_remote_effects(std::vector<Sender<bool>> waiters, bool value);

}  // namespace sonvale
