#include "protocol/remote_effects.h"

#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "protocol/control_hub.h"

namespace sonvale {
namespace {

using Type = RemoteEffectKind::Type;

RemoteEffectKind play_state(bool paused) { return {Type::kPlayState, paused}; }
RemoteEffectKind track_change() { return {Type::kTrackChange}; }
RemoteEffectKind seek_to(std::uint64_t ms) { return {Type::kSeekPosition, false, 0, ms}; }
std::optional<MediaInfo> track(std::string title) {
  MediaInfo info;
  info.title = std::move(title);
  return info;
}

using Step = std::function<void(RemoteEffects&)>;

struct ConfirmCase {
  const char* name;
  RemoteEffectKind kind;  // expected by session 1
  Step before;            // reports that arrive before the command is registered
  Step report;            // what arrives while it waits
  std::optional<bool> outcome;  // what its waiter receives; nothing: it still waits
};

class RemoteEffectsConfirmTest : public ::testing::TestWithParam<ConfirmCase> {};

TEST_P(RemoteEffectsConfirmTest, OnlyTheMatchingReportOfTheSessionCompletesTheCommand) {
  const ConfirmCase& c = GetParam();
  RemoteEffects effects;
  c.before(effects);
  auto expected = effects.expect(1, c.kind);
  c.report(effects);
  EXPECT_EQ(expected.confirmation.try_recv(), c.outcome);
  EXPECT_EQ(effects.pending_count(), c.outcome ? 0u : 1u);
  effects.forget(expected.id);
  EXPECT_EQ(effects.pending_count(), 0u);
}

const Step kNothing = [](RemoteEffects&) {};

INSTANTIATE_TEST_SUITE_P(
    Reports, RemoteEffectsConfirmTest,
    ::testing::Values(
        ConfirmCase{"pause_by_paused_report", play_state(true), kNothing,
                    [](auto& e) { e.observe_playback(1, true); }, true},
        ConfirmCase{"pause_not_by_playing_report", play_state(true), kNothing,
                    [](auto& e) { e.observe_playback(1, false); }, std::nullopt},
        ConfirmCase{"pause_not_by_other_session", play_state(true), kNothing,
                    [](auto& e) { e.observe_playback(2, true); }, std::nullopt},
        ConfirmCase{"resume_by_weak_resume", play_state(false), kNothing,
                    [](auto& e) { e.confirm_resume(1); }, true},
        ConfirmCase{"pause_not_by_weak_resume", play_state(true), kNothing,
                    [](auto& e) { e.confirm_resume(1); }, std::nullopt},
        ConfirmCase{"track_change_by_new_track", track_change(),
                    [](auto& e) { e.observe_media_info(1, track("A")); },
                    [](auto& e) { e.observe_media_info(1, track("B")); }, true},
        ConfirmCase{"track_change_not_by_same_track", track_change(),
                    [](auto& e) { e.observe_media_info(1, track("A")); },
                    [](auto& e) { e.observe_media_info(1, track("A")); }, std::nullopt},
        ConfirmCase{"track_change_not_by_blank_or_no_info", track_change(), kNothing,
                    [](auto& e) {
                      e.observe_media_info(1, track(""));  // all four texts empty
                      e.observe_media_info(1, std::nullopt);
                    },
                    std::nullopt},
        ConfirmCase{"track_seen_before_the_command_does_not_count", track_change(),
                    [](auto& e) { e.observe_media_info(1, track("A")); },
                    [](auto& e) { e.observe_media_info(1, std::nullopt); }, std::nullopt},
        ConfirmCase{"seek_at_the_tolerance", seek_to(10'000), kNothing,
                    [](auto& e) { e.observe_position(1, 12'000); }, true},
        ConfirmCase{"seek_past_the_tolerance", seek_to(10'000), kNothing,
                    [](auto& e) { e.observe_position(1, 7'999); }, std::nullopt},
        ConfirmCase{"seek_position_reported_before_does_not_count", seek_to(10'000),
                    [](auto& e) { e.observe_position(1, 10'000); }, kNothing, std::nullopt},
        ConfirmCase{"ended_session_fails_it", seek_to(10'000), kNothing,
                    [](auto& e) { e.end_session(1); }, false},
        ConfirmCase{"other_ended_session_leaves_it", play_state(true), kNothing,
                    [](auto& e) { e.end_session(2); }, std::nullopt}),
    [](const auto& param_info) { return param_info.param.name; });

struct PositionCase {
  const char* name;
  std::uint64_t last_session, last_ms;
  std::uint64_t session, ms;
  bool changed, moved_on;
};

class RemoteEffectsPositionTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(RemoteEffectsPositionTest, ComparesWithTheLastPosition) {
  const PositionCase& c = GetParam();
  RemoteEffects effects;
  effects.observe_position(c.last_session, c.last_ms);
  const auto seen = effects.observe_position(c.session, c.ms);
  EXPECT_EQ(seen.changed, c.changed);
  EXPECT_EQ(seen.moved_on, c.moved_on);
  EXPECT_EQ(effects.last_position(), std::make_pair(c.session, c.ms));
}

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Steps, RemoteEffectsPositionTest,
    ::testing::Values(PositionCase{"same", 1, 1000, 1, 1000, false, false},
                      PositionCase{"one_step", 1, 1000, 1, 1250, true, false},
                      PositionCase{"past_one_step", 1, 1000, 1, 1251, true, true},
                      PositionCase{"backwards", 1, 1000, 1, 10, true, false},
                      PositionCase{"other_session", 1, 1000, 2, 5000, true, false},
                      PositionCase{"near_the_top", 1, kMax - 100, 1, kMax, true, false}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(RemoteEffectsTest, LastPositionIsForgottenByANewTrackAndByItsOwnSessionsEnd) {
  RemoteEffects effects;
  EXPECT_TRUE(effects.observe_position(1, 500).changed);  // nothing to compare with
  effects.end_session(2);
  EXPECT_TRUE(effects.last_position());
  effects.end_session(1);
  EXPECT_FALSE(effects.last_position());

  effects.observe_position(1, 500);
  effects.observe_media_info(1, track("A"));
  EXPECT_FALSE(effects.last_position());
  effects.observe_position(1, 500);
  effects.observe_media_info(1, track("A"));  // the same track keeps it
  EXPECT_TRUE(effects.last_position());
  // After reset_track the same track counts as new again.
  effects.reset_track();
  effects.observe_position(1, 500);
  auto expected = effects.expect(1, track_change());
  effects.observe_media_info(1, track("A"));
  EXPECT_EQ(expected.confirmation.try_recv(), std::optional<bool>(true));
  EXPECT_FALSE(effects.last_position());
}

TEST(RemoteEffectsTest, DrainAndCompleteEdgeCases) {
  RemoteEffectState state;
  auto [w1, r1] = make_channel<bool>();
  auto [w2, r2] = make_channel<bool>();
  state.pending.emplace(1, PendingRemoteEffect{w1, {}, 1});
  state.pending.emplace(2, PendingRemoteEffect{w2, {}, 2});
  EXPECT_TRUE(drain_matching_effects(state, [](const auto&) { return false; }).empty());
  EXPECT_EQ(state.pending.size(), 2u);
  auto waiters = drain_matching_effects(state, [](const auto&) { return true; });
  EXPECT_TRUE(state.pending.empty());
  r1.close();  // one receiver gone: the others still get their value
  complete_remote_effects(std::move(waiters), true);
  EXPECT_EQ(r2.try_recv(), std::optional<bool>(true));

  auto volume = std::make_shared<std::atomic<std::uint32_t>>(0);
  ControlHub hub(volume, system_clock());
  hub.remove_pending_effect(99);  // unknown id: nothing
}

}  // namespace
}  // namespace sonvale
