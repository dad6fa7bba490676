#pragma once

// The framing of the control connection (TCP 8899): the 9-byte header, the wrapper entry, the
// encrypted body with its CRC-32/MPEG-2 checksum and chained AES-128-CBC IV, and the JSON reading
// of bodies. Everything here is a pure function over bytes, apart from the IV step of a
// ControlCipher, which belongs to exactly one thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/byte_budget.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/json.h"
#include "core/text.h"

namespace sonvale {

inline constexpr std::uint8_t kFrameMagic = 0x24;
inline constexpr std::size_t kFrameHeaderSize = 9;
inline constexpr std::uint32_t kMaxFrameBody = 16777216;  // 16 MiB, equal allowed
inline constexpr std::uint8_t kOuterPlain = 0;
inline constexpr std::uint8_t kOuterReport = 4;
inline constexpr std::uint8_t kOuterWrapped = 20;
inline constexpr std::size_t kTraceCut = 512;
inline constexpr std::array<std::uint8_t, 4> kEncryptedMarker = {0x00, 0x07, 0x01, 0xE0};

// CRC-32/MPEG-2: polynomial 0x04C11DB7, initial 0xFFFFFFFF, not reflected, no final XOR.
std::uint32_t crc32_mpeg2(ByteSpan data);

// A body is encrypted exactly when it is at least 4 bytes long and begins with the marker.
bool is_encrypted_body(ByteSpan body);

struct FrameHeader {
  std::uint8_t outer_type = 0;
  std::uint8_t command = 0;
  std::uint16_t value_type = 0;
  std::uint32_t body_length = 0;
};

// Checks the magic byte and the body length limit of a received header.
[[nodiscard]] Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t, kFrameHeaderSize> raw);
std::array<std::uint8_t, kFrameHeaderSize> encode_frame_header(const FrameHeader& header);

// The AES-128-CBC body cipher of one direction of one connection. Its IV chains across frames:
// after each encrypted body it is the last ciphertext block of that body. Not thread-safe; each
// instance is owned by one thread.
class ControlCipher {
 public:
  explicit ControlCipher(const std::array<std::uint8_t, 16>& key) : key_(key), iv_(key) {}

  // Zero-pads to whole blocks (a full block when already aligned) and encrypts. Never fails.
  Bytes encrypt(ByteSpan plaintext);
  // Encrypts in place an encrypted body laid out in `body`: 9 bytes of room for the marker,
  // padding length and checksum, then the plaintext and its `pad` zero bytes (whole blocks).
  void seal(std::span<std::uint8_t> body, std::uint8_t pad);
  // `body` begins with the marker. Checks length, checksum and padding length; a failure leaves
  // the IV as it was.
  [[nodiscard]] Result<Bytes> decrypt(ByteSpan body);
  // The same, decrypting in the body's own buffer (a body may be 16 MiB).
  [[nodiscard]] Result<Bytes> decrypt(Bytes&& body);

  const std::array<std::uint8_t, 16>& iv() const { return iv_; }

 private:
  std::array<std::uint8_t, 16> key_;
  std::array<std::uint8_t, 16> iv_;
};

struct WrapperEntry {
  std::string key;  // invalid UTF-8 replaced by U+FFFD
  std::uint32_t entry_type = 0;
  Bytes data;
};

// key length (1), key, entry type 30 (u32 little-endian), data length (1), data.
[[nodiscard]] Result<Bytes> wrap_payload(ByteSpan key, ByteSpan data);
[[nodiscard]] Result<WrapperEntry> unwrap_payload(ByteSpan body);

// Strict JSON (parse_json_strict) of the whole body, or of a wrapper entry's data when byte 0 is
// below 9 and the body reads as one. Nothing when it is not JSON, is nested too deep or is over
// the JSON limits (kMaxJsonBytes, kMaxJsonValues, and what `shared` has left for its tree).
JsonTree parse_json_payload(ByteSpan body, const ByteBudget* shared = nullptr);

struct DecodedBody {
  Bytes body;
  bool encrypted = false;
};
// Decrypts an encrypted body with the receive cipher; otherwise unwraps a plain body of outer
// type 20; any other body is passed through: moved, not copied, as it may be 16 MiB.
[[nodiscard]] Result<DecodedBody> decode_received_body(std::uint8_t outer_type, Bytes body,
                                                      ControlCipher& receive_cipher);

// One decoded frame.
struct Incoming {
  std::uint8_t outer_type = 0;
  std::uint8_t command = 0;
  std::uint16_t value_type = 0;
  bool encrypted = false;
  Bytes body;       // decoded
  Bytes wire_head;  // first min(length, 512) bytes as received
  std::uint32_t wire_length = 0;
  // The budget the body draws on, held until the frame is dropped.
  std::optional<ByteBudget::Reservation> body_budget;
};

// One message waiting to be framed and written by a connection's writer thread.
struct Outgoing {
  enum class Mode : std::uint8_t { kPlain = 0, kWrapped = 1, kEncrypted = 2, kWrappedEncrypted = 3 };
  Bytes body;
  std::string wrapper_key;
  std::uint32_t value_type = 0;
  std::optional<std::uint8_t> outer_type;
  Mode mode = Mode::kPlain;
  std::uint8_t command = 0;
};

// What waits for one connection's writer is bounded: at most this many bytes of frames.
inline constexpr std::size_t kMaxQueuedFrameBytes = 1024 * 1024;
// The body of `message` as it goes on the wire, wrapped and encrypted (with `send_cipher`) as its
// mode says, built in one buffer sized once. Fails when a wrapped key or body exceeds its one-byte
// length field.
[[nodiscard]] Result<Bytes> encode_frame_body(const Outgoing& message, ControlCipher& send_cipher);

// The most bytes `message` can take on the wire: header, body, wrapper entry, encryption.
std::size_t queued_frame_bytes(const Outgoing& message);

}  // namespace sonvale
