#include "protocol/control_session.h"

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "core/encoding.h"
#include "protocol/control_payloads.h"
#include "protocol/control_server.h"
#include "protocol/safety_auth.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct UrlCase {
  const char* name;
  std::string url;
  std::string error;  // empty: accepted
  std::string ip;
  std::uint16_t port;
};

class ParseWfdUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ParseWfdUrlTest, ParsesOrNamesTheFailure) {
  auto r = parse_wfd_url(GetParam().url);
  if (!GetParam().error.empty()) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), GetParam().error);
    return;
  }
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r->first.to_string(), GetParam().ip);
  EXPECT_EQ(r->second, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, ParseWfdUrlTest,
    ::testing::Values(
        UrlCase{"plain", "wfd://192.168.1.5:40000", "", "192.168.1.5", 40000},
        UrlCase{"query_cut_first", "wfd://192.168.1.5:40000?x=1:2", "", "192.168.1.5", 40000},
        UrlCase{"plus_port", "wfd://192.168.1.5:+554", "", "192.168.1.5", 554},
        UrlCase{"max_port", "wfd://1.2.3.4:65535", "", "1.2.3.4", 65535},
        UrlCase{"no_port", "wfd://192.168.1.5", "Open URL is missing a port", "", 0},
        UrlCase{"other_scheme", "rtsp://1.2.3.4:5", "Open URL does not start with wfd://", "", 0},
        UrlCase{"short", "wfd:/", "Open URL does not start with wfd://", "", 0},
        UrlCase{"host_name", "wfd://phone.local:5",
                "parse Open IPv4 address: invalid IPv4 address syntax", "", 0},
        UrlCase{"ipv6", "wfd://[::1]:5", "parse Open IPv4 address: invalid IPv4 address syntax", "", 0},
        UrlCase{"empty_port", "wfd://1.2.3.4:",
                "parse Open RTSP port: cannot parse integer from empty string", "", 0},
        UrlCase{"port_70000", "wfd://1.2.3.4:70000",
                "parse Open RTSP port: number too large to fit in target type", "", 0},
        UrlCase{"minus_port", "wfd://1.2.3.4:-5",
                "parse Open RTSP port: invalid digit found in string", "", 0},
        UrlCase{"double_plus", "wfd://1.2.3.4:++5",
                "parse Open RTSP port: invalid digit found in string", "", 0}),
    [](const auto& param_info) { return param_info.param.name; });

// A fake connection: hands out the given bytes in pieces and records the sizes asked for.
struct FakeConnection {
  Bytes wire;
  std::size_t pos = 0;
  std::size_t largest_read = 0;
  ReadSomeFn fn() {
    return [this](std::span<std::uint8_t> buf,
                  std::optional<Clock::time_point>) -> Result<std::size_t> {
      largest_read = std::max(largest_read, buf.size());
      const std::size_t n = std::min(buf.size(), wire.size() - pos);
      if (n > 0) std::memcpy(buf.data(), wire.data() + pos, n);
      pos += n;
      return n;
    };
  }
};

Bytes frame(std::uint8_t outer, std::uint8_t command, std::uint16_t vt, ByteSpan body,
            std::optional<std::uint32_t> length = std::nullopt) {
  ByteWriter w;
  w.u8(0x24).u8(outer).u8(command).u16be(vt).u32be(length.value_or(static_cast<std::uint32_t>(body.size())));
  w.bytes(body);
  return w.take();
}

const std::array<std::uint8_t, 16> kKey = {'0', '1', '2', '3', '4', '5', '6', '7',
                                           '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

TEST(ReadIncomingTest, AnnouncedBodyIsReadAsItArrivesNotAllocatedUpFront) {
  FakeConnection conn{frame(0, 26, 1, Bytes(10, 'x'), 16777216)};
  ControlCipher rx(kKey);
  auto r = read_incoming(FrameSource{.read = conn.fn(), .clock = system_clock()}, rx);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "read ZeDidi control body: failed to fill whole buffer");
  EXPECT_LE(conn.largest_read, 64u * 1024u);
}

TEST(ReadIncomingTest, LimitBodyIsReadAndTracedCut) {
  FakeConnection conn{frame(0, 7, 3, Bytes(16777216, 'z'))};
  ControlCipher rx(kKey);
  auto r = read_incoming(FrameSource{.read = conn.fn(), .clock = system_clock()}, rx);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body.size(), 16777216u);
  const Json trace = incoming_trace(*r);
  EXPECT_EQ(trace["wire_body_hex"].get<std::string>().size(), 1024u);
  EXPECT_EQ(trace["wire_body_hex_truncated"], true);
}

// A body above kUnbudgetedBodyBytes draws on the budget shared by all connections; one that does
// not fit is refused before any of its bytes is read.
TEST(ReadIncomingTest, LargeBodiesDrawOnTheSharedBudgetAndAreRefusedBeyondIt) {
  struct Case {
    const char* name;
    std::size_t length;
    std::size_t budget_left;
    bool read;
    std::size_t drawn;  // while the frame lives
  };
  const Case cases[] = {
      {"small_body_of_an_empty_budget", kUnbudgetedBodyBytes, 0, true, 0},
      {"large_body_that_just_fits", kUnbudgetedBodyBytes + 1, kUnbudgetedBodyBytes + 1, true,
       kUnbudgetedBodyBytes + 1},
      {"large_body_one_byte_too_many", kUnbudgetedBodyBytes + 1, kUnbudgetedBodyBytes, false, 0},
      {"frame_limit_in_the_whole_budget", kMaxFrameBody, kMaxBodyBytesInTransit, true,
       kMaxFrameBody},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteBudget shared(kMaxBodyBytesInTransit);
    const auto others = shared.reserve(kMaxBodyBytesInTransit - c.budget_left);
    FakeConnection conn{frame(0, 26, 1, Bytes(c.length, 'b'))};
    ControlCipher rx(kKey);
    {
      auto r = read_incoming(FrameSource{.read = conn.fn(), .bodies = shared, .clock = system_clock()}, rx);
      ASSERT_EQ(r.has_value(), c.read);
      if (!c.read) {
        EXPECT_EQ(r.error().to_string(),
                  "ZeDidi control body of 65537 bytes refused: bodies in transit would exceed "
                  "67108864 bytes");
        EXPECT_EQ(conn.pos, kFrameHeaderSize);
        EXPECT_FALSE(is_normal_peer_disconnect(r.error()));
      } else {
        EXPECT_EQ(r->body.size(), c.length);
      }
      EXPECT_EQ(shared.taken(), kMaxBodyBytesInTransit - c.budget_left + c.drawn);
    }
    EXPECT_EQ(shared.taken(), kMaxBodyBytesInTransit - c.budget_left);
  }
}

TEST(ReadIncomingTest, ABodyNotWholeTenSecondsAfterItsHeaderFailsTheSession) {
  auto clock = std::make_shared<testing::FakeClock>();
  const Bytes wire = frame(0, 26, 1, Bytes(10, 'x'), 100);
  std::size_t pos = 0;
  std::vector<std::optional<Clock::time_point>> deadlines;
  const Clock::time_point header_at = clock->now();
  const ReadSomeFn read = [&](std::span<std::uint8_t> buf,
                              std::optional<Clock::time_point> deadline) -> Result<std::size_t> {
    deadlines.push_back(deadline);
    if (pos == wire.size()) return fail(Error::os(ETIMEDOUT));  // nothing more came in time
    const std::size_t n = std::min(buf.size(), wire.size() - pos);
    std::memcpy(buf.data(), wire.data() + pos, n);
    pos += n;
    return n;
  };
  ControlCipher rx(kKey);
  auto r = read_incoming(FrameSource{.read = read, .clock = clock}, rx);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(),
            "read ZeDidi control body: ZeDidi control body did not arrive within 10 s");
  EXPECT_FALSE(is_normal_peer_disconnect(r.error()));
  // The header is awaited without limit; every read of the body shares one deadline.
  ASSERT_GE(deadlines.size(), 2u);
  EXPECT_EQ(deadlines.front(), std::nullopt);
  EXPECT_EQ(deadlines.back(), header_at + kControlBodyDeadline);
}

struct TraceCase {
  const char* name;
  std::uint8_t outer;
  Bytes body;
  Json expect;  // keys checked
};

class IncomingTraceTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(IncomingTraceTest, DescribesTheFrame) {
  FakeConnection conn{frame(GetParam().outer, 9, 0x0102, GetParam().body)};
  ControlCipher rx(kKey);
  auto r = read_incoming(FrameSource{.read = conn.fn(), .clock = system_clock()}, rx);
  ASSERT_TRUE(r) << r.error().to_string();
  const Json trace = incoming_trace(*r);
  EXPECT_EQ(trace.size(), 13u);
  EXPECT_EQ(trace["sequence"], 0x0102);
  for (const auto& [k, v] : GetParam().expect.items()) EXPECT_EQ(trace[k], v) << k;
}

Bytes entry(std::string_view key, std::string_view data) {
  return *wrap_payload(as_bytes(key), as_bytes(data));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, IncomingTraceTest,
    ::testing::Values(
        TraceCase{"empty", 0, {},
                  Json{{"wire_body_hex", ""}, {"payload_utf8", ""}, {"body_length", 0},
                       {"payload_key", nullptr}, {"payload_type", nullptr}, {"encrypted", false}}},
        TraceCase{"513_bytes", 0, Bytes(513, 'a'),
                  Json{{"wire_body_hex_truncated", true}, {"wire_body_length", 513}}},
        TraceCase{"512_bytes", 0, Bytes(512, 'a'),
                  Json{{"wire_body_hex_truncated", false}, {"wire_body_length", 512}}},
        TraceCase{"plain_entry_under_type_0", 0, entry("cmd", "{}"),
                  Json{{"payload_key", "cmd"}, {"payload_type", 30}, {"payload_utf8", "{}"},
                       {"body_length", 11}}},
        TraceCase{"unwrapped_data_read_again", 20, entry("cmd", "hi"),
                  Json{{"payload_key", nullptr}, {"payload_utf8", "hi"}, {"body_length", 2},
                       {"wire_body_length", 11}}}),
    [](const auto& param_info) { return param_info.param.name; });

const Ipv4 kPhone = Ipv4::from_octets(127, 0, 0, 1);

// One control session of a phone connection, with the hub and the queue it writes to.
struct Connection {
  std::uint64_t id;
  OutgoingSender sender;
  Receiver<Outgoing> queue;
  SequenceCounter sequence = std::make_shared<std::atomic<std::uint32_t>>(8);
  std::unique_ptr<ControlSession> session;

  Result<> in(std::uint8_t command, Bytes body, bool encrypted = true, std::uint16_t vt = 1,
              std::uint8_t outer = 0) {
    Incoming f;
    f.outer_type = outer;
    f.command = command;
    f.value_type = vt;
    f.encrypted = encrypted;
    f.body = std::move(body);
    return session->handle(f);
  }
  std::vector<Outgoing> sent() {
    std::vector<Outgoing> out;
    while (auto m = queue.try_recv()) out.push_back(std::move(*m));
    return out;
  }
};

class ControlSessionTest : public ::testing::Test {
 protected:
  // `bounded`: the outgoing channel holds at most kMaxQueuedFrameBytes, as run_session makes it.
  Connection connect(std::uint64_t id, std::uint16_t port, bool bounded = false,
                     const ByteBudget& bodies = ByteBudget(kMaxBodyBytesInTransit)) {
    auto [s, r] = bounded ? make_bounded_channel<Outgoing>(kMaxQueuedFrameBytes, &queued_frame_bytes)
                          : make_channel<Outgoing>();
    Connection c{id, s, std::move(r), std::make_shared<std::atomic<std::uint32_t>>(8), nullptr};
    hub_.register_control_route(id, kPhone, s, c.sequence);
    SessionContext ctx{id,          DeviceIdentity{"xYz", "SonVale", "Mac", "macOS", 3},
                       hub_,        rec_.sink(),
                       [this](CastOpen l) { launches_.push_back(std::move(l)); }, bodies};
    c.session = std::make_unique<ControlSession>(std::move(ctx), SocketAddrV4{kPhone, 8899},
                                                 SocketAddrV4{kPhone, port}, std::move(s), c.sequence,
                                                 "00112233445566778899aabbccddeeff");
    return c;
  }

  std::shared_ptr<std::atomic<std::uint32_t>> volume_ = std::make_shared<std::atomic<std::uint32_t>>(50);
  ControlHub hub_{volume_, system_clock()};
  testing::RecordingSink rec_;
  std::vector<CastOpen> launches_;
};

TEST_F(ControlSessionTest, OnlyTheLatestSafetyAuthIsAnsweredAndOwnChallengeGoesOnce) {
  Connection c = connect(1, 40000);
  ASSERT_TRUE(c.in(2, text(R"({"authMsg":"one"})"), true, 11));
  ASSERT_TRUE(c.in(2, text(R"({"authMsg":"two"})"), true, 12));
  auto out = c.sent();
  ASSERT_EQ(out.size(), 1u);  // own challenge queued before the first only
  EXPECT_EQ(out[0].command, 2);
  const std::string expected = hmac_sha256_hex(c.session->auth_key(), "00112233445566778899aabbccddeeff");
  ASSERT_TRUE(c.in(3, text(R"({"authMsgAck":")" + expected + "\"}")));
  out = c.sent();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].value_type, 12u);
  EXPECT_NE(as_text(out[0].body).find(hmac_sha256_hex(c.session->auth_key(), "two")), std::string::npos);
  // A second right acknowledgement finds nothing pending.
  EXPECT_EQ(c.in(3, text(R"({"authMsgAck":")" + expected + "\"}")).error().to_string(),
            "SafetyAuth_Ack arrived before SafetyAuth");
}

TEST_F(ControlSessionTest, RequestsOfAPhoneThatDoesNotReadEndTheSessionAtTheOutgoingBound) {
  Connection c = connect(1, 40000, /*bounded=*/true);
  // Each initial-state request queues three notifications, 71 bytes of frames.
  constexpr std::size_t kPerRequest = 16 + 38 + 17;
  std::size_t handled = 0;
  Result<> r;
  while ((r = c.in(41, {})) && handled <= kMaxQueuedFrameBytes / kPerRequest) ++handled;
  ASSERT_FALSE(r);
  EXPECT_EQ(handled, kMaxQueuedFrameBytes / kPerRequest);
  EXPECT_EQ(r.error().to_string(),
            "ZeDidi control messages waiting for the phone exceed 1048576 bytes: "
            "sending on a full channel");
  std::size_t queued = 0;
  for (const auto& m : c.sent()) queued += queued_frame_bytes(m);
  EXPECT_LE(queued, kMaxQueuedFrameBytes);
  EXPECT_GT(queued, kMaxQueuedFrameBytes - kPerRequest);
  // Drained or not, the session has fallen too far behind: its next reply fails as well.
  EXPECT_FALSE(c.in(26, {}));
}

TEST_F(ControlSessionTest, OpenSelectsKeysAdvancesGenerationAndStartsTheMediaSession) {
  Connection a = connect(1, 40000);
  Connection b = connect(2, 40001);
  ASSERT_TRUE(a.in(108, text(R"({"authKey":"AAAAAAAAAAAAAAAA","streamKey":"0123456789abcdef",)"
                             R"("streamIV":"fedcba9876543210"})")));
  ASSERT_EQ(a.sent().size(), 1u);
  ASSERT_TRUE(b.in(0, text(std::string("\0\0wfd://10.1.2.3:7000\0", 22))));
  auto out = b.sent();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].command, 1);
  EXPECT_EQ(out[0].body, Bytes(5, 0));
  EXPECT_EQ(out[1].body, empty_media_info_notification());
  EXPECT_EQ(out[1].value_type, 8u);
  const auto sel = rec_.named("media_key_selected");
  ASSERT_EQ(sel.size(), 1u);
  EXPECT_EQ(sel[0]["key_scope"], "shared_source_address");
  EXPECT_EQ(sel[0]["key_session_id"], 1);
  EXPECT_EQ(sel[0]["open_session_id"], 2);

  ASSERT_TRUE(b.in(0, text("wfd://10.1.2.3:7001")));
  EXPECT_EQ(b.sent().size(), 1u);  // no second empty media information
  ASSERT_EQ(launches_.size(), 2u);
  // The media configuration and the receiver volume join the launch at the receiver's launcher
  // (tests/unit/receiver/receiver_test.cpp).
  const CastOpen& first = launches_[0];
  EXPECT_EQ(first.rtsp_ip.to_string(), "10.1.2.3");
  EXPECT_EQ(first.rtsp_port, 7000);
  ASSERT_TRUE(first.keys);
  EXPECT_EQ(as_text(first.keys->aes_key), "0123456789abcdef");
  EXPECT_EQ(first.token.generation(), 1u);
  EXPECT_EQ(first.token.counter_cell(), hub_.media_generation());
  EXPECT_EQ(launches_[1].token.generation(), 2u);
  EXPECT_TRUE(hub_.active_session()->gate.shares_cells_with(launches_[1].gate));
  EXPECT_FALSE(hub_.active_session()->gate.shares_cells_with(launches_[0].gate));
}

TEST_F(ControlSessionTest, SetMirrorKeyFailuresEndWithoutReplyOrEvent) {
  struct Case {
    std::string body, error;
  };
  const Case cases[] = {
      {"not json", "parse SetMirrorKey JSON"},
      {R"({"authKey":"AAAAAAAAAAAAAAAA","streamIV":"x"})", "SetMirrorKey is missing streamKey"},
      {R"({"authKey":5})", "SetMirrorKey is missing authKey"},
      {R"({"authKey":"AAAAAAAAAAAAAAAA","streamKey":"BBBBBBBBBBBBBBBB","streamIV":"CCCCCCCCCCCCCCC"})",
       "media AES IV must contain exactly 16 ASCII bytes"},
  };
  for (const Case& cs : cases) {
    Connection c = connect(1, 40000);
    EXPECT_EQ(c.in(108, text(cs.body)).error().to_string(), cs.error);
    EXPECT_TRUE(c.sent().empty());
  }
  EXPECT_TRUE(rec_.named("stream_keys_ready").empty());
}

TEST_F(ControlSessionTest, ReportsOfTheActivePhoneOnAnotherConnectionAreAttributed) {
  Connection a = connect(1, 40000);
  Connection b = connect(2, 40001);
  ASSERT_TRUE(a.in(0, text("wfd://10.1.2.3:7000")));
  ASSERT_TRUE(b.in(4, {}));  // pause report on the second connection of the same phone
  EXPECT_EQ(hub_.playback_state_for(1, kPhone), 3u);
  ASSERT_EQ(rec_.named("playback_state").size(), 1u);
  EXPECT_EQ(rec_.named("playback_state")[0]["playing"], false);
  ASSERT_TRUE(b.in(86, Bytes(7, 0)));  // too short: only the reply
  const auto out = b.sent();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].command, 87);
  EXPECT_TRUE(rec_.named("progress").empty());
}

// The JSON trees of a session's documents draw on the budget its connections share: a document
// whose tree does not fit is read as one that is not JSON, and what it took is given back.
TEST_F(ControlSessionTest, DocumentsTooCostlyForTheSharedBudgetAreTakenForNoJson) {
  std::string costly = "[0";
  for (int i = 0; i < 9999; ++i) costly += ",0";
  costly += "]";
  const ByteBudget roomy(kMaxBodyBytesInTransit);
  const ByteBudget drained(kMaxBodyBytesInTransit);
  const auto others = drained.reserve(kMaxBodyBytesInTransit);
  Connection fits = connect(1, 40000, false, roomy);
  Connection refused = connect(2, 40001, false, drained);
  ASSERT_TRUE(fits.in(64, text(costly)));
  ASSERT_TRUE(refused.in(64, text(costly)));
  const auto sources = rec_.named("play_source");
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[0]["content"].size(), 10000u);
  EXPECT_EQ(sources[1]["content"], nullptr);
  EXPECT_EQ(roomy.taken(), 0u);
  // A document of a few values costs nothing shared, so a phone is served however full it is.
  ASSERT_TRUE(refused.in(2, text(R"({"authMsg":"00112233445566778899aabbccddeeff"})")));
  EXPECT_EQ(rec_.named("authentication_diagnostic").size(), 1u);
}

TEST_F(ControlSessionTest, MediaInfoOfAnInactivePhoneStillEmitsAndSetVolumeShortBodyKeepsVolume) {
  Connection c = connect(1, 40000);
  ASSERT_TRUE(c.in(18, text(R"({"title":"T"})")));
  EXPECT_EQ(rec_.named("media_info").size(), 1u);
  ASSERT_TRUE(c.in(12, Bytes{0x00, 0x01}));
  EXPECT_EQ(volume_->load(), 50u);
  auto out = c.sent();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].command, 13);
  EXPECT_EQ(out[2].body, volume_notification(50));
  EXPECT_EQ(rec_.named("volume").back()["percent"], 50);
}


// One message the session queued for the phone, as the writer will frame it.
struct Sent {
  std::uint8_t command;
  std::uint32_t value_type;
  Outgoing::Mode mode;
  std::optional<std::uint8_t> outer_type = std::nullopt;
  std::string wrapper_key = {};
  std::optional<Bytes> body = std::nullopt;  // nullopt: not compared
};

struct DispatchCase {
  const char* name;
  std::uint8_t outer;
  std::uint8_t command;
  bool encrypted;
  Bytes body;
  std::vector<Sent> sent;
  const char* event = nullptr;  // an event the frame must raise exactly once
};

class ControlDispatchTest : public ControlSessionTest,
                            public ::testing::WithParamInterface<DispatchCase> {};

// Every command of the phone against a fresh session: which messages it queues, byte for byte.
TEST_P(ControlDispatchTest, AnswersEachCommandWithItsReply) {
  const DispatchCase& cs = GetParam();
  Connection c = connect(1, 40000);
  ASSERT_TRUE(c.in(cs.command, cs.body, cs.encrypted, 0x1234, cs.outer));
  const auto out = c.sent();
  ASSERT_EQ(out.size(), cs.sent.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    const Sent& want = cs.sent[i];
    EXPECT_EQ(out[i].command, want.command);
    EXPECT_EQ(out[i].value_type, want.value_type);
    EXPECT_EQ(out[i].mode, want.mode);
    EXPECT_EQ(out[i].outer_type, want.outer_type);
    EXPECT_EQ(out[i].wrapper_key, want.wrapper_key);
    if (want.body) {
      EXPECT_EQ(out[i].body, *want.body);
    }
  }
  if (cs.event != nullptr) {
    const auto events = rec_.named(cs.event);
    ASSERT_EQ(events.size(), 1u);
    if (std::string_view(cs.event) == "protocol_trace") {
      EXPECT_EQ(events[0]["direction"], "unhandled");
    }
  }
}

using M = Outgoing::Mode;
constexpr std::uint16_t kVt = 0x1234;
const Bytes kNoBody{};

INSTANTIATE_TEST_SUITE_P(
    Commands, ControlDispatchTest,
    ::testing::Values(
        DispatchCase{"start_plain", 0, 0, false, {},
                     {{1, kVt, M::kWrapped, std::nullopt, "ack",
                       text("{\n\t\"aesIvType\": \"2\",\n\t\"aesKeyType\": \"1\",\n\t"
                            "\"authAlgorithmType\": \"4\",\n\t\"authKeyType\": \"1\",\n\t"
                            "\"integrityType\": \"1\",\n\t\"result\": \"0\" \n} \n")},
                      {2, 0, M::kWrappedEncrypted, std::nullopt, "cmd",
                       text("{\n\t\"authMsg\": \"00112233445566778899aabbccddeeff\" \n} \n")}},
                     "authentication_diagnostic"},
        DispatchCase{"open", 0, 0, true, text("wfd://10.1.2.3:7000"),
                     {{1, kVt, M::kEncrypted, std::nullopt, "", Bytes(5, 0)},
                      {0x22, 8, M::kEncrypted, std::nullopt, "", empty_media_info_notification()}},
                     "media_key_selected"},
        DispatchCase{"safety_auth", 0, 2, true, text(R"({"authMsg":"x"})"),
                     {{2, 0, M::kWrappedEncrypted, std::nullopt, "cmd", std::nullopt}}},
        DispatchCase{"pause_report", 0, 4, true, {}, {{5, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"resume_report", 0, 6, true, {}, {{7, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"set_volume", 0, 12, true, Bytes{0, 0, 0, 0x4d},
                     {{13, kVt, M::kEncrypted, std::nullopt, "", kNoBody},
                      {0x22, 8, M::kEncrypted, std::nullopt, "", volume_notification(77)}},
                     "volume"},
        DispatchCase{"get_volume", 0, 14, true, {},
                     {{15, kVt, M::kEncrypted, std::nullopt, "", Bytes{0, 0, 0, 0, 50}}}, "volume"},
        DispatchCase{"media_info", 0, 18, true, text("{}"),
                     {{19, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}, "media_info"},
        DispatchCase{"reverse_control_ready", 0, 20, true, {},
                     {{0x22, 8, M::kEncrypted, std::nullopt, "", empty_media_info_notification()}}},
        DispatchCase{"empty_ack_request", 0, 26, true, {},
                     {{27, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"playback_state_query", 0, 28, true, {},
                     {{29, kVt, M::kEncrypted, std::nullopt, "", Bytes{0, 0, 0, 0, 0}}}},
        DispatchCase{"device_info_query", 0, 30, true, {},
                     {{31, kVt, M::kEncrypted, std::nullopt, "", std::nullopt}}, "interconnect_stage"},
        DispatchCase{"initial_state_request", 0, 41, false, {},
                     {{0x22, 5, M::kPlain, std::nullopt, "", mode_record()},
                      {0x22, 6, M::kPlain, std::nullopt, "", empty_media_info_notification()},
                      {0x22, 7, M::kPlain, std::nullopt, "", state_record()}}},
        DispatchCase{"fixed_status_query", 0, 52, true, {},
                     {{53, kVt, M::kEncrypted, std::nullopt, "", Bytes{0, 0, 0, 0, 1}}}},
        DispatchCase{"version_query", 0, 54, true, {},
                     {{55, kVt, M::kPlain, std::nullopt, "", text(std::string("2.1.5071614\0", 12))}}},
        DispatchCase{"play_source", 0, 64, true, text("{}"),
                     {{65, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}, "play_source"},
        DispatchCase{"position_report", 0, 86, true, Bytes(8, 0),
                     {{87, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"source_info", 0, 88, true, text("{}"),
                     {{89, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}, "interconnect_stage"},
        DispatchCase{"playback_snapshot", 0, 94, true, {},
                     {{95, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"set_mirror_key", 0, 108, true,
                     text(R"({"authKey":"AAAAAAAAAAAAAAAA","streamKey":"0123456789abcdef",)"
                          R"("streamIV":"fedcba9876543210"})"),
                     {{109, kVt, M::kEncrypted, std::nullopt, "", Bytes{0}}}, "stream_keys_ready"},
        DispatchCase{"wrapped_outer_empty_ack_request", 20, 26, false, {},
                     {{27, kVt, M::kEncrypted, std::nullopt, "", kNoBody}}},
        DispatchCase{"report_playback_snapshot", 4, 0x14, true, {},
                     {{0x15, kVt, M::kEncrypted, 4, "", kNoBody}}},
        DispatchCase{"report_playback_state_query", 4, 0x16, true, {},
                     {{0x17, kVt, M::kEncrypted, 4, "", Bytes{0, 0, 0, 0, 0}}}},
        DispatchCase{"report_media_info", 4, 0x18, true, text("{}"),
                     {{0x19, kVt, M::kEncrypted, 4, "", kNoBody}}, "media_info"},
        DispatchCase{"pause_report_ack", 0, 5, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"resume_report_ack", 0, 7, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"media_control_ack_69", 0, 69, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"media_control_ack_71", 0, 71, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"media_control_ack_73", 0, 73, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"media_control_ack_75", 0, 75, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"media_control_ack_77", 0, 77, true, {}, {}, "media_control_acknowledgement"},
        DispatchCase{"unknown_1", 0, 1, true, {}, {}, "protocol_trace"},
        DispatchCase{"unknown_79", 0, 79, true, {}, {}, "protocol_trace"},
        DispatchCase{"unknown_200", 0, 200, true, {}, {}, "protocol_trace"},
        DispatchCase{"report_outer_pause_report", 4, 4, true, {}, {}, "protocol_trace"},
        DispatchCase{"report_outer_empty_ack_request", 4, 26, true, {}, {}, "protocol_trace"},
        DispatchCase{"report_outer_media_control_ack", 4, 5, true, {}, {}, "protocol_trace"}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace sonvale
