#pragma once

// The receiver's binary payloads (TLV records, the five-byte integer reply, the device
// information) and the readers of the phone's reports (play state, media information, numbers).
// All pure functions; build_device_info also reads QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/json.h"
#include "protocol/device_identity.h"

namespace sonvale {

// Appends TLV records: key length (1 byte), key, type code, value (big-endian integers). A key,
// string or list that does not fit its length field is refused with an error; nothing is cut.
class TlvWriter {
 public:
  [[nodiscard]] Result<> flag(std::string_view key);  // type 0x00, value 01
  [[nodiscard]] Result<> u8(std::string_view key, std::uint8_t v);              // 0x03
  [[nodiscard]] Result<> i32(std::string_view key, std::int32_t v);             // 0x07
  [[nodiscard]] Result<> u64(std::string_view key, std::uint64_t v);            // 0x09
  [[nodiscard]] Result<> string16(std::string_view key, std::string_view v);    // 0x0C
  [[nodiscard]] Result<> string32(std::string_view key, std::string_view v);    // 0x14
  [[nodiscard]] Result<> records(std::string_view key, ByteSpan nested);        // 0x16

  Bytes take() { return out_.take(); }
  const Bytes& view() const { return out_.view(); }

 private:
  [[nodiscard]] Result<> begin(std::string_view key, std::uint8_t type);
  ByteWriter out_;
};

// 06 "volume" 07 00 00 00 VV
Bytes volume_notification(std::uint8_t percent);
// 00 then the volume as u32 big-endian
Bytes encode_get_volume_ack(std::uint8_t percent);
// 0B "mediaInfoEx" 16 00 00 00 0C 06 "mTitle" 14 00 00 00 00 (29 bytes)
Bytes empty_media_info_notification();
Bytes mode_record();   // 04 "mode" 03 02
Bytes state_record();  // 05 "state" 03 00

// The key commands the host sends to the phone.
enum class KeyCommand : std::uint8_t { kPause, kResume, kPrevious, kNext, kSeek };
Bytes key_command_body(KeyCommand command, std::uint64_t seek_position_ms = 0);

// 00 01 55 followed by the 13 device-information records. Fails only when the model text does
// not fit a record.
[[nodiscard]] Result<Bytes> build_device_info(const DeviceIdentity& identity);
// The announced device id: a valid override (3 ASCII letters or digits after trimming), else a
// 3-character alphanumeric code, else the last 8 of its hex digits upper-cased, else the first 4
// MD5 bytes of the code in upper-case hex.
std::string short_device_id(std::string_view id_code);
std::string short_device_id(std::string_view id_code, const char* override_value);

// The payload readers below read JSON with parse_json_payload, its tree drawing on `shared`.

// true: playing (state 2); false: paused (state 3); nothing otherwise.
std::optional<bool> decode_playback_state(ByteSpan payload, const ByteBudget* shared = nullptr);

// The media-information object of a phone report: "mediaInfo", "mediaInfoEx" or "metadata" as an
// object or as a string holding JSON, else the whole document.
JsonTree media_info_value(ByteSpan payload, const ByteBudget* shared = nullptr);

// What a phone's media-information report says, each field read from the first of its candidate
// keys that holds a usable value.
struct MediaInfo {
  std::optional<std::string> id;  // text only: a numeric id is not used
  std::string title;              // texts trimmed; empty when absent or blank
  std::string artist;
  std::string album;
  std::optional<std::string> artwork;
  std::optional<std::uint64_t> duration_ms;
  std::optional<std::uint64_t> position_ms;
  std::optional<std::uint64_t> metadata_change_type;
};
// The media information of a report (the object media_info_value picks); nothing when the
// payload holds no JSON.
std::optional<MediaInfo> decode_media_info(ByteSpan payload, const ByteBudget* shared = nullptr);

// The first candidate key holding a non-negative JSON integer or a string holding an unsigned
// decimal number (trimmed, one optional "+").
std::optional<std::uint64_t> json_u64_field(const Json& value,
                                            std::initializer_list<std::string_view> keys);
// The first candidate key holding a string that is not blank, trimmed.
std::optional<std::string> json_text_field(const Json& value,
                                           std::initializer_list<std::string_view> keys);
// Unsigned decimal text: optional surrounding white space, one optional "+", digits, 64 bits.
std::optional<std::uint64_t> parse_trimmed_unsigned(std::string_view text);

}  // namespace sonvale
