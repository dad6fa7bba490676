// Fuzzes the control frame decoder and the payload readers: header checks, body decoding
// (decryption with checksum and padding checks, wrapper entries), JSON reading, play state,
// media information and the numbers read from the phone's reports.

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/bytes.h"
#include "protocol/control_events.h"
#include "protocol/control_frame.h"
#include "protocol/control_payloads.h"

using namespace sonvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  const std::array<std::uint8_t, 16> key = {'k', 'e', 'y', 'k', 'e', 'y', 'k', 'e',
                                            'y', 'k', 'e', 'y', 'k', 'e', 'y', '!'};
  if (input.size() >= kFrameHeaderSize) {
    std::array<std::uint8_t, kFrameHeaderSize> raw{};
    std::copy(input.begin(), input.begin() + kFrameHeaderSize, raw.begin());
    auto header = parse_frame_header(raw);
    const ByteSpan body = input.subspan(kFrameHeaderSize);
    ControlCipher cipher(key);
    auto decoded = decode_received_body(header ? header->outer_type : raw[1],
                                        Bytes(body.begin(), body.end()), cipher);
    if (decoded) (void)unwrap_payload(decoded->body);
  }
  // Every body is also a candidate encrypted body whose checksum is right, so that decryption
  // and the padding check run on arbitrary ciphertext.
  if (input.size() >= 25 && (input.size() - 9) % 16 == 0) {
    Bytes body(input.begin(), input.end());
    std::copy(kEncryptedMarker.begin(), kEncryptedMarker.end(), body.begin());
    const std::uint32_t crc = crc32_mpeg2(ByteSpan(body).subspan(9));
    for (int i = 0; i < 4; ++i) body[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    ControlCipher cipher(key);
    (void)cipher.decrypt(body);
  }
  (void)unwrap_payload(input);
  (void)parse_json_payload(input);
  (void)decode_playback_state(input);
  (void)media_info_value(input);
  if (auto info = decode_media_info(input)) (void)compact_json(media_info_event(*info));
  (void)utf8_lossy(input);
  (void)parse_trimmed_unsigned(as_text(input));
  if (auto json = parse_json_payload(input)) {
    (void)json_u64_field(*json, {"a", "state"});
    (void)json_text_field(*json, {"title", "mTitle"});
    (void)compact_json(*json);
  }
  return 0;
}
