#include "protocol/control_payloads.h"

#include <cstdlib>
#include <limits>

#include "core/crypto.h"
#include "core/decimal.h"
#include "core/encoding.h"
#include "core/json.h"
#include "core/text.h"
#include "protocol/control_frame.h"

namespace sonvale {
namespace {

constexpr std::string_view kOverrideVariable = "QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID";

bool is_ascii_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_three_alnum(std::string_view s) {
  if (s.size() != 3) return false;
  for (const char c : s) {
    if (!is_ascii_alnum(c)) return false;
  }
  return true;
}

// Builders of fixed payloads whose keys and values are literals: a refusal is our own bug.
Bytes must(TlvWriter& w, const Result<>& r) {
  if (!r) std::abort();
  return w.take();
}

}  // namespace

Result<> TlvWriter::begin(std::string_view key, std::uint8_t type) {
  if (key.size() > 255) return fail(Error::msg("TLV key exceeds one-byte length field"));
  out_.u8(static_cast<std::uint8_t>(key.size())).text(key).u8(type);
  return {};
}

Result<> TlvWriter::flag(std::string_view key) {
  SV_TRY(begin(key, 0x00));
  out_.u8(0x01);
  return {};
}

Result<> TlvWriter::u8(std::string_view key, std::uint8_t v) {
  SV_TRY(begin(key, 0x03));
  out_.u8(v);
  return {};
}

Result<> TlvWriter::i32(std::string_view key, std::int32_t v) {
  SV_TRY(begin(key, 0x07));
  out_.u32be(static_cast<std::uint32_t>(v));
  return {};
}

Result<> TlvWriter::u64(std::string_view key, std::uint64_t v) {
  SV_TRY(begin(key, 0x09));
  out_.u64be(v);
  return {};
}

Result<> TlvWriter::string16(std::string_view key, std::string_view v) {
  if (v.size() > 0xFFFF) return fail(Error::msg("TLV string exceeds two-byte length field"));
  SV_TRY(begin(key, 0x0C));
  out_.u16be(static_cast<std::uint16_t>(v.size())).text(v);
  return {};
}

Result<> TlvWriter::string32(std::string_view key, std::string_view v) {
  if (v.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(Error::msg("TLV string exceeds four-byte length field"));
  }
  SV_TRY(begin(key, 0x14));
  out_.u32be(static_cast<std::uint32_t>(v.size())).text(v);
  return {};
}

Result<> TlvWriter::records(std::string_view key, ByteSpan nested) {
  if (nested.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(Error::msg("TLV record list exceeds four-byte length field"));
  }
  SV_TRY(begin(key, 0x16));
  out_.u32be(static_cast<std::uint32_t>(nested.size())).bytes(nested);
  return {};
}

Bytes volume_notification(std::uint8_t percent) {
  TlvWriter w;
  return must(w, w.i32("volume", percent));
}

Bytes encode_get_volume_ack(std::uint8_t percent) {
  ByteWriter w(5);
  w.u8(0).u32be(percent);
  return w.take();
}

Bytes empty_media_info_notification() {
  TlvWriter inner;
  const Bytes title = must(inner, inner.string32("mTitle", ""));
  TlvWriter w;
  return must(w, w.records("mediaInfoEx", title));
}

Bytes mode_record() {
  TlvWriter w;
  return must(w, w.u8("mode", 2));
}

Bytes state_record() {
  TlvWriter w;
  return must(w, w.u8("state", 0));
}

Bytes key_command_body(KeyCommand command, std::uint64_t seek_position_ms) {
  TlvWriter w;
  switch (command) {
    case KeyCommand::kPause:
      return must(w, w.flag("key-pause"));
    case KeyCommand::kResume:
      return must(w, w.flag("key-resume"));
    case KeyCommand::kPrevious:
      return must(w, w.flag("key-prev"));
    case KeyCommand::kNext:
      return must(w, w.flag("key-next"));
    case KeyCommand::kSeek:
      return must(w, w.u64("key-seek", seek_position_ms));
  }
  std::abort();
}

std::string short_device_id(std::string_view id_code, const char* override_value) {
  if (override_value != nullptr) {
    const std::string_view raw(override_value);
    if (is_valid_utf8(raw)) {
      const std::string_view trimmed = trim_whitespace(raw);
      if (is_three_alnum(trimmed)) return std::string(trimmed);
    }
  }
  if (is_three_alnum(id_code)) return std::string(id_code);
  std::string hex;
  for (const char c : id_code) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
      hex += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
    }
  }
  if (hex.size() >= 8) return hex.substr(hex.size() - 8);
  const Md5Digest digest = md5(as_bytes(id_code));
  return hex_upper(ByteSpan(digest).first(4));
}

std::string short_device_id(std::string_view id_code) {
  return short_device_id(id_code, std::getenv(std::string(kOverrideVariable).c_str()));
}

Result<Bytes> build_device_info(const DeviceIdentity& identity) {
  TlvWriter w;
  SV_TRY(w.string16("alonePlayCapacity", "0"));
  SV_TRY(w.string16("canAlonePlayCtrl", "0"));
  SV_TRY(w.string16("canHeadsetCtrl", "0"));
  SV_TRY(w.string16("canRevCtrl", "1"));
  SV_TRY(w.string16("channel", ""));
  SV_TRY(w.string16("deviceId", short_device_id(identity.id_code)));
  SV_TRY(w.string16("deviceType", std::to_string(identity.device_type)));
  SV_TRY(w.string16("model", identity.model));
  SV_TRY(w.string16("needAblum", "1"));
  SV_TRY(w.string16("needLrc", "1"));
  SV_TRY(w.string16("needPos", "1"));
  SV_TRY(w.string16("romVersion", ""));
  SV_TRY(w.string16("support", "audio"));
  ByteWriter out;
  out.u8(0x00).u8(0x01).u8(0x55).bytes(w.view());
  return out.take();
}

std::optional<std::uint64_t> parse_trimmed_unsigned(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  auto parsed = parse_u64_decimal(trim_whitespace(text));
  if (!parsed) return std::nullopt;
  return *parsed;
}

std::optional<std::uint64_t> json_u64_field(const Json& value,
                                            std::initializer_list<std::string_view> keys) {
  if (!value.is_object()) return std::nullopt;
  for (const std::string_view key : keys) {
    const auto it = value.find(key);
    if (it == value.end()) continue;
    if (it->is_number_unsigned()) return it->get<std::uint64_t>();
    if (it->is_number_integer() && it->get<std::int64_t>() >= 0) {
      return static_cast<std::uint64_t>(it->get<std::int64_t>());
    }
    if (it->is_string()) {
      if (auto n = parse_trimmed_unsigned(it->get_ref<const std::string&>())) return n;
    }
  }
  return std::nullopt;
}

std::optional<std::string> json_text_field(const Json& value,
                                           std::initializer_list<std::string_view> keys) {
  if (!value.is_object()) return std::nullopt;
  for (const std::string_view key : keys) {
    const auto it = value.find(key);
    if (it == value.end() || !it->is_string()) continue;
    const std::string& s = it->get_ref<const std::string&>();
    if (!is_valid_utf8(s)) continue;
    const std::string_view trimmed = trim_whitespace(s);
    if (!trimmed.empty()) return std::string(trimmed);
  }
  return std::nullopt;
}

std::optional<bool> decode_playback_state(ByteSpan payload, const ByteBudget* shared) {
  std::optional<std::uint64_t> state;
  ByteReader r(payload);
  if (payload.size() == 4) {
    state = *r.u32be();
  } else if (payload.size() >= 5 && payload[0] == 0x00) {
    r.skip(1);
    state = *r.u32be();
  } else {
    const auto json = parse_json_payload(payload, shared);
    if (!json) return std::nullopt;
    state = json_u64_field(*json, {"setState", "state", "mediaState", "playState"});
  }
  if (!state) return std::nullopt;
  if (*state == 2) return true;
  if (*state == 3) return false;
  return std::nullopt;
}

JsonTree media_info_value(ByteSpan payload, const ByteBudget* shared) {
  JsonTree doc = parse_json_payload(payload, shared);
  if (!doc) return {};
  if (doc->is_object()) {
    for (const char* key : {"mediaInfo", "mediaInfoEx", "metadata"}) {
      const auto it = doc->find(key);
      if (it == doc->end()) continue;
      if (it->is_object()) {
        doc.keep_only(*it);
        return doc;
      }
      if (it->is_string()) {
        if (auto inner = parse_json_strict(as_bytes(it->get_ref<const std::string&>()), shared)) {
          return inner;
        }
      }
    }
  }
  return doc;
}

std::optional<MediaInfo> decode_media_info(ByteSpan payload, const ByteBudget* shared) {
  const auto value = media_info_value(payload, shared);
  if (!value) return std::nullopt;
  const Json& v = *value;
  MediaInfo info;
  info.id = json_text_field(v, {"mAudioId", "audioId", "mId", "id", "mediaId"});
  info.title = json_text_field(v, {"mTitle", "title"}).value_or("");
  info.artist = json_text_field(v, {"mArtist", "artist"}).value_or("");
  info.album = json_text_field(v, {"mAlbum", "album"}).value_or("");
  info.artwork = json_text_field(
      v, {"mArt", "mCoverUrl", "artwork", "artworkUrl", "coverUrl", "mArtUrl", "picUrl", "albumPic",
          "img", "pic", "albumArt", "artUrl", "mPicUrl", "cover", "album_art", "cover_url"});
  info.duration_ms = json_u64_field(v, {"mDuration", "duration", "durationMs", "duration_ms"});
  info.position_ms = json_u64_field(v, {"mPosition", "position", "positionMs", "position_ms"});
  info.metadata_change_type = json_u64_field(v, {"mMetaChangeType", "metaChangeType"});
  return info;
}

}  // namespace sonvale
