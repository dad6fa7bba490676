#include "protocol/control_hub.h"

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "core/encoding.h"
#include "protocol/control_payloads.h"
#include "support/fake_clock.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

const Ipv4 kPhone = Ipv4::from_octets(192, 168, 1, 5);
const Ipv4 kOtherPhone = Ipv4::from_octets(192, 168, 1, 6);

struct Conn {
  OutgoingSender sender;
  Receiver<Outgoing> receiver;
  SequenceCounter sequence = std::make_shared<std::atomic<std::uint32_t>>(8);
  static Conn make() {
    auto [s, r] = make_channel<Outgoing>();
    return Conn{std::move(s), std::move(r)};
  }
};

class ControlHubTest : public ::testing::Test {
 protected:
  // One fake monotonic clock for the hub's duplicate window and route instants and for the
  // gates' resume grace.
  void advance(std::chrono::nanoseconds d) { clock_->advance(d); }

  PlaybackGate activate(std::uint64_t id, Conn& c, Ipv4 peer = kPhone) {
    return hub_.activate(id, peer, c.sender, c.sequence);
  }
  // Runs send_confirmed on its own thread, as the host's command thread does.
  std::future<Result<RemoteCommandOutcome>> send_async(ReceiverCommand::Code command, std::uint64_t value = 0,
                                                       std::chrono::milliseconds timeout = 3s) {
    return std::async(std::launch::async, [this, command, value, timeout] {
      return hub_.send_confirmed(command, value, timeout);
    });
  }

  std::shared_ptr<std::atomic<std::uint32_t>> volume_ = std::make_shared<std::atomic<std::uint32_t>>(50);
  std::shared_ptr<testing::FakeClock> clock_ = testing::make_fake_clock();
  ControlHub hub_{volume_, clock_};
};

TEST_F(ControlHubTest, ReportFromAnotherThreadEndsTheWaitEarly) {
  Conn c = Conn::make();
  activate(1, c);
  const auto start = std::chrono::steady_clock::now();
  auto pending = send_async(ReceiverCommand::kPause);
  auto msg = c.receiver.recv();  // the pause is queued before the wait starts
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->command, 0x22);
  EXPECT_EQ(msg->mode, Outgoing::Mode::kEncrypted);
  EXPECT_EQ(msg->value_type, 8u);
  EXPECT_FALSE(msg->outer_type);
  EXPECT_EQ(msg->body, key_command_body(KeyCommand::kPause));
  hub_.observe_playback(1, true);
  auto outcome = pending.get();
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->dispatched);
  EXPECT_TRUE(outcome->confirmed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(hub_.pending_effect_count(), 0u);
}

TEST_F(ControlHubTest, ShutdownEndsTheWaitingCommandAtOnceAndNoLaterOneWaits) {
  Conn c = Conn::make();
  activate(1, c);
  const auto start = std::chrono::steady_clock::now();
  auto pending = send_async(ReceiverCommand::kNext);
  ASSERT_TRUE(c.receiver.recv());  // queued: the wait has begun
  hub_.shutdown_sessions();
  auto outcome = pending.get();
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->dispatched);
  EXPECT_FALSE(outcome->confirmed);
  // The active source outlives the shutdown until its session ends; a command sent meanwhile
  // still goes out but does not wait for the phone.
  auto later = hub_.send_confirmed(ReceiverCommand::kPrevious, 0, 3s);
  ASSERT_TRUE(later);
  EXPECT_FALSE(later->confirmed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(hub_.pending_effect_count(), 0u);
}

TEST_F(ControlHubTest, NoReportTimesOutUnconfirmedAndForgetsTheEffect) {
  Conn c = Conn::make();
  activate(1, c);
  auto outcome = hub_.send_confirmed(ReceiverCommand::kNext, 0, 30ms);
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(outcome->dispatched);
  EXPECT_FALSE(outcome->confirmed);
  EXPECT_EQ(hub_.pending_effect_count(), 0u);
}

TEST_F(ControlHubTest, NoActiveSourceFailsForEveryCommand) {
  for (const auto command : {ReceiverCommand::kToggle, ReceiverCommand::kPause, ReceiverCommand::kResume,
                             ReceiverCommand::kPrevious, ReceiverCommand::kNext,
                             ReceiverCommand::kSeek}) {
    auto r = hub_.send_confirmed(command, 0, 10ms);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "no active Xiaomi ZeDidi source");
  }
  EXPECT_EQ(hub_.set_volume(10).error().to_string(), "no active Xiaomi ZeDidi source");
  EXPECT_EQ(volume_->load(), 50u);
}

TEST_F(ControlHubTest, AlreadyInStateShortcutButToggleAlwaysQueues) {
  Conn c = Conn::make();
  activate(1, c);
  auto resume = hub_.send_confirmed(ReceiverCommand::kResume, 0, 10ms);  // not paused: nothing to do
  EXPECT_FALSE(resume->dispatched);
  EXPECT_TRUE(resume->confirmed);
  EXPECT_FALSE(c.receiver.try_recv());

  hub_.observe_playback(1, true);  // the phone paused by itself
  auto pause = hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms);
  EXPECT_FALSE(pause->dispatched);
  EXPECT_TRUE(pause->confirmed);
  EXPECT_FALSE(c.receiver.try_recv());

  auto toggle = hub_.send_confirmed(ReceiverCommand::kToggle, 0, 10ms);  // paused: toggle resumes
  EXPECT_TRUE(toggle->dispatched);
  EXPECT_EQ(c.receiver.try_recv()->body, key_command_body(KeyCommand::kResume));
}

TEST_F(ControlHubTest, SamePauseWithin750MsOfTheLastIsNotQueuedAgain) {
  Conn c = Conn::make();
  activate(1, c);
  auto first = send_async(ReceiverCommand::kPause);
  ASSERT_TRUE(c.receiver.recv());
  hub_.observe_playback(1, true);
  EXPECT_TRUE(first.get()->confirmed);
  hub_.observe_playback(1, false);  // the phone reports play again

  advance(500ms);
  auto duplicate = hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms);
  EXPECT_TRUE(duplicate->dispatched);
  EXPECT_FALSE(duplicate->confirmed);
  EXPECT_FALSE(c.receiver.try_recv());

  advance(250ms - 1ns);
  EXPECT_FALSE(hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms)->confirmed);
  EXPECT_FALSE(c.receiver.try_recv());
  hub_.observe_playback(1, false);
  advance(1ns);  // exactly 750 ms: no longer a duplicate
  EXPECT_TRUE(hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms)->dispatched);
  EXPECT_TRUE(c.receiver.try_recv());

  // A newly active session is not bound by the last command of another.
  Conn d = Conn::make();
  activate(2, d);
  EXPECT_TRUE(hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms)->dispatched);
  EXPECT_TRUE(d.receiver.try_recv());
}

struct SeekCase {
  const char* name;
  std::int64_t offset_ms;
  bool confirms;
};

class SeekWindowTest : public ControlHubTest, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(SeekWindowTest, PositionWithinTwoSecondsOfTheTargetConfirms) {
  constexpr std::uint64_t kTarget = 60000;
  Conn c = Conn::make();
  activate(1, c);
  hub_.observe_position(1, kTarget);  // counted before the command: never confirms it
  auto pending = send_async(ReceiverCommand::kSeek, kTarget, GetParam().confirms ? 3000ms : 100ms);
  auto msg = c.receiver.recv();
  ASSERT_TRUE(msg);
  EXPECT_EQ(msg->body, key_command_body(KeyCommand::kSeek, kTarget));
  hub_.observe_position(1, static_cast<std::uint64_t>(static_cast<std::int64_t>(kTarget) +
                                                      GetParam().offset_ms));
  EXPECT_EQ(pending.get()->confirmed, GetParam().confirms);
}

INSTANTIATE_TEST_SUITE_P(Offsets, SeekWindowTest,
                         ::testing::Values(SeekCase{"plus1500", 1500, true},
                                           SeekCase{"minus2000", -2000, true},
                                           SeekCase{"plus2000", 2000, true},
                                           SeekCase{"plus2001", 2001, false},
                                           SeekCase{"minus2001", -2001, false}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST_F(ControlHubTest, SeekReportOfAnotherSessionDoesNotConfirm) {
  Conn c = Conn::make();
  activate(1, c);
  auto pending = send_async(ReceiverCommand::kSeek, 1000, 100ms);
  ASSERT_TRUE(c.receiver.recv());
  hub_.observe_position(2, 1000);
  EXPECT_FALSE(pending.get()->confirmed);
}

std::optional<MediaInfo> media(std::string_view json) { return decode_media_info(as_bytes(json)); }

TEST_F(ControlHubTest, TrackChangeNeedsADifferentFingerprint) {
  Conn c = Conn::make();
  activate(1, c);
  hub_.observe_media_info(1, media(R"({"title":"A","artist":"X"})"));

  struct Step {
    const char* payload;
    bool confirms;
  };
  const Step steps[] = {
      {R"({"mTitle":" A ","artist":"X"})", false},  // same four texts after trimming
      {R"({"title":"  ","id":5})", false},          // all blank: no fingerprint
      {R"(not json)", false},
      {R"({"mediaInfo":{"title":"B","artist":"X"}})", true},
  };
  for (const Step& s : steps) {
    auto pending = send_async(ReceiverCommand::kNext, 0, s.confirms ? 3000ms : 80ms);
    ASSERT_TRUE(c.receiver.recv());
    hub_.observe_media_info(1, media(s.payload));
    EXPECT_EQ(pending.get()->confirmed, s.confirms) << s.payload;
  }
  // After a track change the next position report counts as changed and is never a weak resume.
  hub_.observe_position(1, 10'000);
  hub_.observe_media_info(1, media(R"({"title":"C"})"));
  EXPECT_FALSE(hub_.last_position());
  EXPECT_EQ(hub_.observe_position(1, 10'000), std::make_pair(true, false));
}

struct WeakCase {
  const char* name;
  std::chrono::milliseconds since_pause;
  std::uint64_t step_ms;
  bool resumes;
};

class WeakResumeTest : public ControlHubTest, public ::testing::WithParamInterface<WeakCase> {};

TEST_P(WeakResumeTest, PositionMovingOnAfterTheGraceClearsTheRemotePause) {
  Conn c = Conn::make();
  const PlaybackGate gate = activate(1, c);
  EXPECT_EQ(hub_.observe_position(1, 1000), std::make_pair(true, false));
  hub_.observe_playback(1, true);
  auto resume = send_async(ReceiverCommand::kResume, 0, GetParam().resumes ? 3000ms : 80ms);
  ASSERT_TRUE(c.receiver.recv());
  // A second resume waits for the first to leave the dispatch lock; by then the gate is playing,
  // so it returns at once without queueing.
  EXPECT_FALSE(hub_.send_confirmed(ReceiverCommand::kResume, 0, 10ms)->dispatched);
  hub_.observe_playback(1, true);  // the phone still reports a pause: grace starts now
  ASSERT_TRUE(gate.blocked());
  advance(GetParam().since_pause);
  const auto [changed, weak] = hub_.observe_position(1, 1000 + GetParam().step_ms);
  EXPECT_TRUE(changed);
  EXPECT_EQ(weak, GetParam().resumes);
  EXPECT_EQ(gate.blocked(), !GetParam().resumes);
  EXPECT_EQ(resume.get()->confirmed, GetParam().resumes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WeakResumeTest,
    ::testing::Values(WeakCase{"after_grace_300", 1500ms, 300, true},
                      WeakCase{"after_grace_250", 2000ms, 250, false},
                      WeakCase{"within_grace", 1499ms, 300, false}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(ControlHubTest, WeakResumeClearsTheGate) {
  Conn c = Conn::make();
  const PlaybackGate gate = activate(1, c);
  // The resume sent by send_confirmed reset the gate; this test pauses it remotely only.
  hub_.observe_playback(1, true);
  hub_.observe_position(1, 0);
  advance(2s);
  EXPECT_EQ(hub_.observe_position(1, 251), std::make_pair(true, true));
  EXPECT_FALSE(gate.blocked());
  EXPECT_FALSE(gate.remote_paused());
}

TEST_F(ControlHubTest, PlayingSnapshotIsAWeakResumeAndPausedSnapshotNothing) {
  Conn c = Conn::make();
  const PlaybackGate gate = activate(1, c);
  hub_.observe_playback(1, true);
  EXPECT_FALSE(hub_.observe_playback_snapshot(1, true));
  EXPECT_FALSE(hub_.observe_playback_snapshot(1, false));  // within the grace
  advance(1500ms);
  EXPECT_FALSE(hub_.observe_playback_snapshot(2, false));  // not the active session
  EXPECT_TRUE(hub_.observe_playback_snapshot(1, false));
  EXPECT_FALSE(gate.blocked());
  EXPECT_EQ(hub_.playback_state_for(1, kOtherPhone), 2u);
}

struct RouteCase {
  const char* name;
  bool a_ready, a_registered;
  int a_time;
  bool b_ready, b_registered;
  int b_time;
  char expect;  // 'A' active session's route, 'B' the other, 'S' the active session's sender
  bool b_other_address = false;
  bool no_a = false;
};

class RoutePreferenceTest : public ControlHubTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RoutePreferenceTest, ChoosesByFlagsThenInstantThenOwnSession) {
  const RouteCase& p = GetParam();
  Conn active = Conn::make();
  Conn a = Conn::make();
  Conn b = Conn::make();
  activate(7, active);
  const auto base = clock_->now();
  auto at = [&](std::chrono::nanoseconds t) { advance(base + t - clock_->now()); };
  // Session 9 (B) sorts after 7 (A) in the route table.
  if (!p.no_a) {
    at(std::chrono::milliseconds(p.a_time));
    hub_.register_control_route(7, kPhone, a.sender, a.sequence);
    if (p.a_ready) hub_.mark_reverse_control_ready(7);
    if (p.a_registered) hub_.mark_play_source_registered(7);
  }
  at(std::chrono::milliseconds(p.b_time));
  hub_.register_control_route(9, p.b_other_address ? kOtherPhone : kPhone, b.sender, b.sequence);
  if (p.b_ready) hub_.mark_reverse_control_ready(9);
  if (p.b_registered) hub_.mark_play_source_registered(9);
  at(1s);

  ASSERT_TRUE(hub_.set_volume(30));
  Receiver<Outgoing>* chosen = p.expect == 'A' ? &a.receiver : p.expect == 'B' ? &b.receiver : &active.receiver;
  auto msg = chosen->try_recv();
  ASSERT_TRUE(msg) << p.expect;
  EXPECT_EQ(msg->body, volume_notification(30));
  for (Receiver<Outgoing>* r : {&a.receiver, &b.receiver, &active.receiver}) {
    if (r != chosen) {
      EXPECT_FALSE(r->try_recv());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RoutePreferenceTest,
    ::testing::Values(
        RouteCase{"reverse_ready_wins", false, true, 5, true, false, 1, 'B'},
        RouteCase{"registered_breaks_tie", true, false, 5, true, true, 1, 'B'},
        RouteCase{"later_instant_wins", false, false, 5, false, false, 1, 'A'},
        RouteCase{"later_instant_wins_b", false, false, 1, false, false, 5, 'B'},
        RouteCase{"equal_prefers_own_session", false, false, 3, false, false, 3, 'A'},
        RouteCase{"other_address_never", false, false, 1, true, true, 5, 'A', true},
        RouteCase{"no_route_of_address", false, false, 0, true, true, 5, 'S', true, true}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(ControlHubTest, SequenceWrapsFrom65535ToOne) {
  std::atomic<std::uint32_t> counter{65534};
  EXPECT_EQ(next_sequence(counter), 65534u);
  EXPECT_EQ(next_sequence(counter), 65535u);
  EXPECT_EQ(next_sequence(counter), 1u);
  counter = 70000;
  EXPECT_EQ(next_sequence(counter), 70000u);
  EXPECT_EQ(counter.load(), 1u);

  Conn c = Conn::make();
  c.sequence->store(65535);
  activate(1, c);
  ASSERT_TRUE(hub_.set_volume(150));
  ASSERT_TRUE(hub_.set_volume(0));
  const auto first = c.receiver.try_recv();
  const auto second = c.receiver.try_recv();
  EXPECT_EQ(first->value_type, 65535u);
  EXPECT_EQ(first->body, volume_notification(100));
  EXPECT_EQ(second->value_type, 1u);
  EXPECT_EQ(volume_->load(), 0u);
}

TEST_F(ControlHubTest, ConcurrentSequenceUsersNeverShareANumber) {
  auto counter = std::make_shared<std::atomic<std::uint32_t>>(65000);
  std::vector<std::vector<std::uint32_t>> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) seen[t].push_back(next_sequence(*counter));
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::uint32_t> all;
  for (const auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(std::count(all.begin(), all.end(), 0u), 0);
}

TEST_F(ControlHubTest, ClosedChannelLeavesVolumeAndCommandsUnchanged) {
  Conn c = Conn::make();
  activate(1, c);
  c.receiver.close();
  auto vol = hub_.set_volume(20);
  ASSERT_FALSE(vol);
  EXPECT_EQ(vol.error().to_string(),
            "send Xiaomi ZeDidi receiver-volume notification: sending on a closed channel");
  EXPECT_EQ(volume_->load(), 50u);
  EXPECT_EQ(c.sequence->load(), 9u);
  auto cmd = hub_.send_confirmed(ReceiverCommand::kPause, 0, 10ms);
  ASSERT_FALSE(cmd);
  EXPECT_EQ(cmd.error().to_string(),
            "send Xiaomi ZeDidi receiver-control notification: sending on a closed channel");
  EXPECT_EQ(hub_.pending_effect_count(), 0u);
  EXPECT_EQ(hub_.playback_state_for(1, kPhone), 2u);  // gate untouched
}

TEST_F(ControlHubTest, DeactivationFailsThePendingCommandAtOnce) {
  Conn c = Conn::make();
  activate(1, c);
  hub_.observe_position(1, 500);
  auto pending = send_async(ReceiverCommand::kPrevious, 0, 3000ms);
  ASSERT_TRUE(c.receiver.recv());
  const auto start = std::chrono::steady_clock::now();
  hub_.deactivate(1);
  auto outcome = pending.get();
  EXPECT_TRUE(outcome->dispatched);
  EXPECT_FALSE(outcome->confirmed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(hub_.last_position());
  EXPECT_EQ(hub_.playback_state_for(1, kPhone), 0u);
  EXPECT_FALSE(hub_.set_volume(10));
  hub_.deactivate(1);  // a second time changes nothing
}

TEST_F(ControlHubTest, DeactivatingAnotherSessionKeepsTheActiveSource) {
  Conn a = Conn::make();
  Conn b = Conn::make();
  activate(1, a);
  hub_.register_control_route(2, kPhone, b.sender, b.sequence);
  hub_.observe_position(1, 42);
  hub_.deactivate(2);
  EXPECT_EQ(hub_.route_count(), 0u);
  EXPECT_EQ(hub_.active_source_session_id(5, kPhone), std::optional<std::uint64_t>(1));
  EXPECT_EQ(hub_.active_source_session_id(5, kOtherPhone), std::nullopt);
  EXPECT_TRUE(hub_.last_position());
  // The replaced source's later end leaves the newer one in place.
  activate(3, b);
  hub_.deactivate(1);
  EXPECT_EQ(hub_.active_session()->session_id, 3u);
}

TEST_F(ControlHubTest, ShutdownAdvancesGenerationAndClearsRoutesAndSockets) {
  auto [local, remote] = testing::socket_pair();
  ASSERT_TRUE(hub_.register_session(1, local, kPhone));
  Conn c = Conn::make();
  activate(1, c);
  hub_.register_control_route(1, kPhone, c.sender, c.sequence);
  const auto keys = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC");
  hub_.remember_stream_keys(kPhone, 1, keys);

  hub_.shutdown_sessions();
  EXPECT_EQ(hub_.media_generation()->load(), 1u);
  EXPECT_EQ(hub_.route_count(), 0u);
  EXPECT_EQ(hub_.registered_socket_count(), 0u);
  EXPECT_TRUE(hub_.active_session());
  EXPECT_EQ(hub_.stream_keys_for(kPhone)->session_id, 1u);
  std::uint8_t byte = 0;
  EXPECT_EQ(*read_some(local.get(), {&byte, 1}), 0u);  // the registered socket was shut down
  hub_.shutdown_sessions();
  EXPECT_EQ(hub_.media_generation()->load(), 2u);
}

TEST(ConnectionToCloseTest, PicksTheLeastRecentlyActiveThatHasNotAuthenticated) {
  struct Case {
    const char* name;
    std::vector<ConnectionActivity> open;
    std::optional<std::uint64_t> closed;
  };
  const Case cases[] = {
      {"oldest_unauthenticated", {{1, 30, false, kPhone}, {2, 10, false, kPhone}, {3, 20, false, kPhone}}, 2},
      {"authenticated_are_spared_however_old",
       {{1, 5, true, kPhone}, {2, 40, false, kPhone}, {3, 7, true, kPhone}, {4, 30, false, kPhone}}, 4},
      {"all_authenticated", {{1, 5, true, kPhone}, {2, 6, true, kPhone}}, std::nullopt},
      {"none_open", {}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(connection_to_close(c.open, kPhone), c.closed) << c.name;
}

// A host that holds many connections never makes room at the cost of one that holds fewer, and
// SafetyAuth (which needs no secret) does not let a crowd shut others out.
TEST(ConnectionToCloseTest, NoAddressClosesOneOfAnAddressHoldingFewer) {
  const Ipv4 crowd = Ipv4::from_octets(10, 0, 0, 66);
  const Ipv4 stranger = Ipv4::from_octets(10, 0, 0, 77);
  struct Case {
    const char* name;
    std::vector<ConnectionActivity> open;
    Ipv4 newcomer;
    std::optional<std::uint64_t> closed;
  };
  const Case cases[] = {
      {"crowd_closes_its_own_not_the_older_phone",
       {{1, 1, false, kPhone}, {2, 5, false, crowd}, {3, 3, false, crowd}, {4, 4, false, crowd}},
       crowd, 3},
      {"crowd_never_closes_the_phone_it_outnumbers",
       {{1, 1, false, kPhone}, {2, 5, true, crowd}, {3, 3, true, crowd}}, crowd, std::nullopt},
      {"a_stranger_takes_from_the_busiest_address",
       {{1, 1, false, kPhone}, {2, 5, true, crowd}, {3, 3, true, crowd}, {4, 4, true, crowd}},
       stranger, 3},
      {"the_busiest_address_gives_its_unauthenticated_first",
       {{1, 1, true, crowd}, {2, 9, false, crowd}, {3, 2, true, crowd}, {4, 0, false, kPhone}},
       stranger, 2},
      {"equal_addresses_take_the_least_recently_active",
       {{1, 4, false, kPhone}, {2, 3, false, kPhone}, {3, 2, false, crowd}, {4, 5, false, crowd}},
       kPhone, 3},
      {"the_phone_reconnecting_closes_an_authenticated_crowd",
       {{1, 1, true, kPhone}, {2, 5, true, crowd}, {3, 3, true, crowd}, {4, 4, true, crowd}},
       kPhone, 3},
      {"authenticated_one_connection_ahead_are_spared",
       {{1, 1, true, kPhone}, {2, 5, true, crowd}, {3, 3, true, crowd}}, kPhone, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(connection_to_close(c.open, c.newcomer), c.closed) << c.name;
  }
}

// kMaxControlConnections registered socket pairs; `peers[i]` is the far end of session i + 1.
class ControlHubCapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::uint64_t id = 1; id <= kMaxControlConnections; ++id) {
      auto [near, far] = socket_pair();
      ASSERT_EQ(hub_.register_session(id, near, kPhone)->closed, std::nullopt);
      peers_.push_back(std::move(far));
    }
  }
  static std::pair<Fd, Fd> socket_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    return {Fd(fds[0]), Fd(fds[1])};
  }
  // The sessions whose registered socket was shut down (their far end reads the end at once).
  std::vector<std::uint64_t> shut_down() {
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 0; i < peers_.size(); ++i) {
      (void)set_nonblocking(peers_[i].get(), true);
      std::uint8_t byte = 0;
      if (auto n = read_some(peers_[i].get(), {&byte, 1}); n && *n == 0) ids.push_back(i + 1);
    }
    return ids;
  }

  ControlHub hub_{std::make_shared<std::atomic<std::uint32_t>>(50), system_clock()};
  std::vector<Fd> peers_;
};

TEST_F(ControlHubCapTest, NewcomerClosesTheLeastRecentlyActiveUnauthenticatedConnection) {
  hub_.mark_authenticated(1);  // the oldest, but authenticated
  hub_.note_activity(2);       // the next oldest has just sent a frame
  auto [near, far] = socket_pair();
  const auto admission = hub_.register_session(100, near, kPhone);
  ASSERT_TRUE(admission);
  EXPECT_TRUE(admission->admitted);
  EXPECT_EQ(admission->closed, 3u);
  EXPECT_EQ(shut_down(), std::vector<std::uint64_t>{3});
  EXPECT_EQ(hub_.registered_socket_count(), kMaxControlConnections);
  // The closed session's own withdrawal later changes nothing for the others.
  hub_.deactivate(3);
  EXPECT_EQ(hub_.registered_socket_count(), kMaxControlConnections);
}

TEST_F(ControlHubCapTest, NewcomerIsRefusedWhenEveryConnectionHasAuthenticated) {
  for (std::uint64_t id = 1; id <= kMaxControlConnections; ++id) hub_.mark_authenticated(id);
  auto [near, far] = socket_pair();
  const auto admission = hub_.register_session(100, near, kPhone);
  ASSERT_TRUE(admission);
  EXPECT_FALSE(admission->admitted);
  EXPECT_TRUE(shut_down().empty());
  EXPECT_EQ(hub_.registered_socket_count(), kMaxControlConnections);
  // Once one has gone there is room again.
  hub_.deactivate(7);
  EXPECT_TRUE(hub_.register_session(101, near, kPhone)->admitted);
}

TEST_F(ControlHubTest, StreamKeysOutliveTheirSessionAndAreKeyedByAddress) {
  const auto keys = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC");
  hub_.remember_stream_keys(kPhone, 4, keys);
  hub_.deactivate(4);
  EXPECT_EQ(hub_.stream_keys_for(kPhone)->keys, keys);
  EXPECT_FALSE(hub_.stream_keys_for(kOtherPhone).has_value());
}

TEST_F(ControlHubTest, RememberedStreamKeysAreBoundedByDisplacingTheLongestSet) {
  const auto keys = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC");
  auto address = [](std::size_t i) { return Ipv4{static_cast<std::uint32_t>(0x0A000000u + i)}; };
  for (std::size_t i = 0; i < kMaxRememberedStreamKeys; ++i) hub_.remember_stream_keys(address(i), i, keys);
  hub_.remember_stream_keys(address(0), 1000, keys);  // set again: now the newest
  hub_.remember_stream_keys(address(0), 1001, keys);  // an address already kept displaces nothing
  EXPECT_TRUE(hub_.stream_keys_for(address(1)));
  hub_.remember_stream_keys(address(kMaxRememberedStreamKeys), 7, keys);
  EXPECT_FALSE(hub_.stream_keys_for(address(1)));
  EXPECT_EQ(hub_.stream_keys_for(address(0))->session_id, 1001u);
  for (std::size_t i = 2; i <= kMaxRememberedStreamKeys; ++i) {
    EXPECT_TRUE(hub_.stream_keys_for(address(i))) << i;
  }
}

TEST_F(ControlHubTest, RacingOpensLeaveTheHighestGenerationActive) {
  for (int round = 0; round < 200; ++round) {
    Conn a = Conn::make();
    Conn b = Conn::make();
    std::atomic<int> ready{0};
    OpenedSource opened[2] = {{PlaybackGate::with_output_suspension(hub_.output_suspended(), clock_), 0},
                              {PlaybackGate::with_output_suspension(hub_.output_suspended(), clock_), 0}};
    auto run = [&](int i, Conn& c) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      opened[i] = hub_.open_source(static_cast<std::uint64_t>(10 + i), kPhone, c.sender, c.sequence);
    };
    std::thread ta(run, 0, std::ref(a));
    std::thread tb(run, 1, std::ref(b));
    ta.join();
    tb.join();
    const int winner = opened[0].generation > opened[1].generation ? 0 : 1;
    const auto active = hub_.active_session();
    ASSERT_TRUE(active);
    EXPECT_EQ(active->session_id, static_cast<std::uint64_t>(10 + winner));
    EXPECT_TRUE(active->gate.shares_cells_with(opened[winner].gate));
  }
}

}  // namespace
}  // namespace sonvale
