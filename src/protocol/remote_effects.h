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
#include "protocol/control_payloads.h"

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

// The state RemoteEffects guards; every field is guarded by `mu`.
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

// The confirmation of the host's remote commands: the commands waiting for the phone's reports
// to show their effect, and what those reports have shown so far (the last position, the track
// fingerprint and the report generations a command is judged against). Any thread may call any
// operation; one lock, never held while a waiter is completed. The hub part `effects`.
class RemoteEffects {
 public:
  static constexpr std::uint64_t kSeekTolerance = 2000;
  static constexpr std::uint64_t kWeakResumeStep = 250;

  struct Expectation {
    std::uint64_t id = 0;
    Receiver<bool> confirmation;  // true once a report confirms it, false when its session ends
  };
  // Registers a command's expected effect for the session. A track change or a seek is confirmed
  // only by a report that arrives after this call. After end_all the confirmation is false at
  // once.
  Expectation expect(std::uint64_t session_id, RemoteEffectKind kind);
  // Forgets a command (its wait is over); an unknown id is nothing.
  void forget(std::uint64_t effect_id);

  // The phone reports its play state: confirms the play-state commands that asked for it.
  void observe_playback(std::uint64_t session_id, bool paused);
  struct PositionSeen {
    bool changed = false;   // not the last position reported, or of another session
    bool moved_on = false;  // more than kWeakResumeStep past the same session's last position
  };
  // The phone reports its position: confirms the seeks that reached within kSeekTolerance.
  PositionSeen observe_position(std::uint64_t session_id, std::uint64_t position_ms);
  // The phone reports media information: a new track (id, title, artist, album that differ from
  // the last, not all blank) forgets the last position; confirms the track changes asked for
  // before the newest track was seen.
  void observe_media_info(std::uint64_t session_id, const std::optional<MediaInfo>& info);
  // Playback resumed without a play-state report: confirms the session's resume commands.
  void confirm_resume(std::uint64_t session_id);
  // The session is gone: its commands fail at once and its last position is forgotten.
  void end_session(std::uint64_t session_id);
  // The receiver stops: every command fails at once, as its session's end would fail it, and no
  // later command waits.
  void end_all();
  // A new source: no last position, no track fingerprint.
  void reset_track();

  std::size_t pending_count() const;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> last_position() const;

 private:
  // Completes (outside the lock) with `value` every pending command that `matches`.
  void complete_matching(const std::function<bool(const PendingRemoteEffect&)>& matches,
                         bool value);

  mutable RemoteEffectState state_;
  std::uint64_t next_id_ = 1;  // guarded by state_.mu
  bool ended_ = false;         // guarded by state_.mu
};

}  // namespace sonvale
