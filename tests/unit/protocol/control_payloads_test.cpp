#include "protocol/control_payloads.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/encoding.h"
#include "protocol/control_events.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Golden bytes from tests/unit/protocol/golden_vectors.py.
TEST(PayloadBytesTest, FixedPayloadsMatchTheGoldenVectors) {
  EXPECT_EQ(hex_lower(key_command_body(KeyCommand::kPause)), "096b65792d70617573650001");
  EXPECT_EQ(hex_lower(key_command_body(KeyCommand::kResume)), "0a6b65792d726573756d650001");
  EXPECT_EQ(hex_lower(key_command_body(KeyCommand::kPrevious)), "086b65792d707265760001");
  EXPECT_EQ(hex_lower(key_command_body(KeyCommand::kNext)), "086b65792d6e6578740001");
  EXPECT_EQ(hex_lower(key_command_body(KeyCommand::kSeek, 90000)),
            "086b65792d7365656b090000000000015f90");
  EXPECT_EQ(hex_lower(volume_notification(100)), "06766f6c756d650700000064");
  EXPECT_EQ(hex_lower(encode_get_volume_ack(0)), "0000000000");
  EXPECT_EQ(hex_lower(encode_get_volume_ack(100)), "0000000064");
  const Bytes empty_info = empty_media_info_notification();
  EXPECT_EQ(empty_info.size(), 29u);
  EXPECT_EQ(hex_lower(empty_info), "0b6d65646961496e666f4578160000000c066d5469746c651400000000");
  EXPECT_EQ(mode_record(), (Bytes{0x04, 'm', 'o', 'd', 'e', 0x03, 0x02}));
  EXPECT_EQ(state_record(), (Bytes{0x05, 's', 't', 'a', 't', 'e', 0x03, 0x00}));
}

TEST(TlvWriterTest, RefusesLengthsThatDoNotFitInsteadOfCuttingThem) {
  TlvWriter w;
  EXPECT_FALSE(w.flag(std::string(256, 'k')));
  EXPECT_FALSE(w.string16("model", std::string(65536, 'm')));
  EXPECT_TRUE(w.view().empty());  // nothing half-written
  EXPECT_TRUE(w.string16(std::string(255, 'k'), std::string(65535, 'm')));
  EXPECT_EQ(w.view().size(), 1 + 255 + 1 + 2 + 65535u);

  DeviceIdentity too_long{"xYz", "n", std::string(65536, 'M'), "macOS", 3};
  EXPECT_FALSE(build_device_info(too_long));
}

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID"); }
  void TearDown() override { ::unsetenv("QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID"); }
};

TEST_F(DeviceInfoTest, ThreeCharacterIdGivesTheGolden201Bytes) {
  const Bytes info = *build_device_info(DeviceIdentity{"xYz", "SonVale", "Mac", "macOS", 3});
  EXPECT_EQ(info.size(), 201u);
  EXPECT_EQ(hex_lower(info),
            "00015511616c6f6e65506c617943617061636974790c0001301063616e416c6f6e65506c61794374726c0c"
            "0001300e63616e486561647365744374726c0c0001300a63616e5265764374726c0c000131076368616e6e"
            "656c0c00000864657669636549640c000378597a0a646576696365547970650c000133056d6f64656c0c00"
            "034d6163096e65656441626c756d0c000131076e6565644c72630c000131076e656564506f730c0001310a"
            "726f6d56657273696f6e0c000007737570706f72740c0005617564696f");
}

TEST_F(DeviceInfoTest, DeviceTypeIsDecimalTextAndOverrideIsReadEachTime) {
  const Bytes wide = *build_device_info(DeviceIdentity{"xYz", "n", "Mac", "macOS", 255});
  EXPECT_NE(hex_lower(wide).find(hex_lower(text("\x0a" "deviceType\x0c")) + "0003" +
                                 hex_lower(text("255"))),
            std::string::npos);
  ::setenv("QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID", " ab1 ", 1);
  const Bytes over = *build_device_info(DeviceIdentity{"xYz", "n", "Mac", "macOS", 3});
  EXPECT_NE(hex_lower(over).find(hex_lower(text("\x08" "deviceId\x0c")) + "0003" +
                                 hex_lower(text("ab1"))),
            std::string::npos);
}

struct DeviceIdCase {
  const char* name;
  const char* id_code;
  const char* override_value;  // nullptr: unset
  std::string expect;
};

class ShortDeviceIdTest : public ::testing::TestWithParam<DeviceIdCase> {};

TEST_P(ShortDeviceIdTest, PicksTheFirstRuleThatApplies) {
  EXPECT_EQ(short_device_id(GetParam().id_code, GetParam().override_value), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ShortDeviceIdTest,
    ::testing::Values(
        DeviceIdCase{"override_trimmed", "xYz", " ab1 ", "ab1"},
        DeviceIdCase{"override_not_alnum", "xYz", "AB-", "xYz"},
        DeviceIdCase{"override_four", "xYz", "abcd", "xYz"},
        DeviceIdCase{"override_two", "xYz", "ab", "xYz"},
        DeviceIdCase{"override_non_ascii", "xYz", "\xc3\xa9z", "xYz"},
        DeviceIdCase{"override_invalid_utf8", "xYz", "\xff" "ab", "xYz"},
        DeviceIdCase{"code_as_is", "xYz", nullptr, "xYz"},
        DeviceIdCase{"code_with_dash_hashes", "a-B", nullptr, "0C0B5638"},
        DeviceIdCase{"ten_hex_digits", "0123456789", nullptr, "23456789"},
        DeviceIdCase{"hex_upper_cased", "abcdef0123", nullptr, "CDEF0123"}),
    [](const auto& param_info) { return param_info.param.name; });

struct StateCase {
  const char* name;
  Bytes payload;
  std::optional<bool> expect;
};

class DecodePlaybackStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(DecodePlaybackStateTest, Decodes) {
  EXPECT_EQ(decode_playback_state(GetParam().payload), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, DecodePlaybackStateTest,
    ::testing::Values(
        StateCase{"u32_playing", Bytes{0, 0, 0, 2}, true},
        StateCase{"five_byte_paused", Bytes{0, 0, 0, 0, 3}, false},
        StateCase{"five_byte_extra_ignored", Bytes{0, 0, 0, 0, 3, 0xff, 0xff}, false},
        StateCase{"u32_other", Bytes{0, 0, 0, 7}, std::nullopt},
        StateCase{"five_bytes_start_01_not_json", Bytes{1, 0, 0, 0, 2}, std::nullopt},
        StateCase{"empty", Bytes{}, std::nullopt},
        StateCase{"four_bytes_json_text", text("[22]"), std::nullopt},
        StateCase{"state_string_spaces", text(R"({"state":" 3 "})"), false},
        StateCase{"setState_letters_then_state", text(R"({"setState":"abc","state":2})"), true},
        StateCase{"first_number_decides", text(R"({"setState":7,"state":2})"), std::nullopt},
        StateCase{"negative_then_plus", text(R"({"state":-2,"mediaState":"+2"})"), true},
        StateCase{"above_u32", text(R"({"playState":4294967298})"), std::nullopt},
        StateCase{"fractional", text(R"({"state":2.0})"), std::nullopt},
        StateCase{"not_object", text(R"([2, 3, 4])"), std::nullopt},
        StateCase{"lone_plus", text(R"({"state":"+","playState":3})"), false}),
    [](const auto& param_info) { return param_info.param.name; });

struct U64Case {
  const char* name;
  Json value;
  std::optional<std::uint64_t> expect;
};

class JsonU64FieldTest : public ::testing::TestWithParam<U64Case> {};

TEST_P(JsonU64FieldTest, ReadsTheFirstUsableKey) {
  EXPECT_EQ(json_u64_field(GetParam().value, {"a", "b"}), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Values, JsonU64FieldTest,
    ::testing::Values(
        U64Case{"number", Json{{"a", 42}}, 42},
        U64Case{"string", Json{{"a", "42"}}, 42},
        U64Case{"plus_spaces", Json{{"a", " +42 "}}, 42},
        U64Case{"negative_number", Json{{"a", -42}}, std::nullopt},
        U64Case{"negative_string", Json{{"a", "-42"}}, std::nullopt},
        U64Case{"fraction", Json{{"a", 4.2}}, std::nullopt},
        U64Case{"lone_plus", Json{{"a", "+"}}, std::nullopt},
        U64Case{"lone_minus", Json{{"a", "-"}}, std::nullopt},
        U64Case{"empty_string", Json{{"a", ""}}, std::nullopt},
        U64Case{"max", Json{{"a", "18446744073709551615"}}, 18446744073709551615ull},
        U64Case{"overflow", Json{{"a", "18446744073709551616"}}, std::nullopt},
        U64Case{"falls_to_second", Json{{"a", true}, {"b", "7"}}, 7},
        U64Case{"double_plus", Json{{"a", "++1"}}, std::nullopt}),
    [](const auto& param_info) { return param_info.param.name; });

struct MediaValueCase {
  const char* name;
  std::string payload;
  std::optional<Json> expect;
};

class MediaInfoValueTest : public ::testing::TestWithParam<MediaValueCase> {};

TEST_P(MediaInfoValueTest, PicksTheInformationObject) {
  EXPECT_EQ(media_info_value(text(GetParam().payload)), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, MediaInfoValueTest,
    ::testing::Values(
        MediaValueCase{"string_holding_object", R"({"mediaInfo":"{\"t\":1}"})", Json{{"t", 1}}},
        MediaValueCase{"bad_string_then_metadata",
                       R"({"mediaInfo":"nope","metadata":{"m":2}})", Json{{"m", 2}}},
        MediaValueCase{"object_first", R"({"mediaInfo":{"a":1},"metadata":{"m":2}})",
                       Json{{"a", 1}}},
        MediaValueCase{"string_any_value", R"({"mediaInfoEx":"[1]"})", Json::array({1})},
        MediaValueCase{"number_skipped", R"({"mediaInfo":5,"x":1})",
                       Json{{"mediaInfo", 5}, {"x", 1}}},
        MediaValueCase{"none_whole", R"({"x":1})", Json{{"x", 1}}},
        MediaValueCase{"not_json", "nope", std::nullopt}),
    [](const auto& param_info) { return param_info.param.name; });

// --- events ---

std::string song_track_id() {
  const Sha256Digest d = sha256(as_bytes(std::string_view("Song\0\0\0", 7)));
  return "metadata:" + hex_lower(ByteSpan(d).first(16));
}

TEST(MediaInfoEventTest, GoldenTrackIdFromTrimmedTitle) {
  EXPECT_EQ(song_track_id(), "metadata:7febd7cc18cacc9f7ac41c3486bf3377");
}

struct MediaEventCase {
  const char* name;
  std::string payload;
  Json expect_subset;  // keys that must have these values
};

class EmitMediaInfoTest : public ::testing::TestWithParam<MediaEventCase> {};

TEST_P(EmitMediaInfoTest, BuildsTheEvent) {
  testing::RecordingSink rec;
  emit_media_info(decode_media_info(text(GetParam().payload)), rec.sink());
  const auto events = rec.events();
  ASSERT_EQ(events.size(), 1u);
  const Json& e = events[0];
  EXPECT_EQ(e.size(), 10u);
  for (const auto& [k, v] : GetParam().expect_subset.items()) EXPECT_EQ(e.at(k), v) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, EmitMediaInfoTest,
    ::testing::Values(
        MediaEventCase{"trimmed_title_digest", R"({"mediaInfo":{"mTitle":"  ","title":" Song "}})",
                       Json{{"title", "Song"}, {"artist", ""}, {"album", ""},
                            {"track_id", "metadata:7febd7cc18cacc9f7ac41c3486bf3377"}}},
        MediaEventCase{"numeric_id_not_used", R"({"id":42})", Json{{"track_id", nullptr}}},
        MediaEventCase{"audio_id_trimmed", R"({"mAudioId":" abc ","title":"T"})",
                       Json{{"track_id", "abc"}, {"title", "T"}}},
        MediaEventCase{"duration_string", R"({"durationMs":" 1234 "})", Json{{"duration_ms", 1234}}},
        MediaEventCase{"duration_negative_skipped", R"({"duration":-5})",
                       Json{{"duration_ms", 0}, {"position_ms", nullptr}}},
        MediaEventCase{"position_plus", R"({"position":"+1200"})", Json{{"position_ms", 1200}}},
        MediaEventCase{"change_type", R"({"mMetaChangeType":1})", Json{{"metadata_change_type", 1}}},
        MediaEventCase{"cover_url_alone", R"({"cover_url":"u"})", Json{{"artwork", "u"}}},
        MediaEventCase{"mart_wins", R"({"cover_url":"u","mArt":"a"})", Json{{"artwork", "a"}}},
        MediaEventCase{"blank_cover_skipped", R"({"mCoverUrl":" ","artwork":"w"})",
                       Json{{"artwork", "w"}}},
        MediaEventCase{"string_media_info", R"({"mediaInfo":"{\"title\":\"X\"}"})",
                       Json{{"title", "X"}}},
        MediaEventCase{"array_fallbacks", R"([1])",
                       Json{{"event", "media_info"}, {"source", "xiaomi"}, {"track_id", nullptr},
                            {"duration_ms", 0}, {"artwork", nullptr},
                            {"metadata_change_type", nullptr}}}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(EmitEventsTest, NoJsonNoEventAndSourceInfoRules) {
  testing::RecordingSink rec;
  emit_media_info(decode_media_info(text("nope")), rec.sink());
  emit_source_info(text(R"({"sourceName":5})"), rec.sink());
  emit_source_info(text("nope"), rec.sink());
  EXPECT_TRUE(rec.events().empty());
  emit_source_info(text(R"({"sourceName":"","other":1})"), rec.sink());
  emit_playback(false, rec.sink());
  emit_volume(42, rec.sink());
  const auto events = rec.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], (Json{{"event", "source_info"},
                            {"source", "xiaomi"},
                            {"source_name", ""},
                            {"raw", Json{{"sourceName", ""}, {"other", 1}}}}));
  EXPECT_EQ(events[1], (Json{{"event", "playback_state"},
                            {"raw_state", 3},
                            {"playing", false},
                            {"session_active", true}}));
  EXPECT_EQ(events[2], (Json{{"event", "volume"}, {"source", "xiaomi"}, {"percent", 42}}));
}

}  // namespace
}  // namespace sonvale
