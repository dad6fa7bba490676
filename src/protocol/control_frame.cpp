#include "protocol/control_frame.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/json.h"

namespace sonvale {
namespace {

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int bit = 0; bit < 8; ++bit) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
    table[i] = c;
  }
  return table;
}
constexpr auto kCrcTable = make_crc_table();

std::uint32_t byte_swap(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

}  // namespace

std::uint32_t crc32_mpeg2(ByteSpan data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t b : data) crc = (crc << 8) ^ kCrcTable[((crc >> 24) ^ b) & 0xffu];
  return crc;
}

bool is_encrypted_body(ByteSpan body) {
  return body.size() >= kEncryptedMarker.size() &&
         std::equal(kEncryptedMarker.begin(), kEncryptedMarker.end(), body.begin());
}

Result<FrameHeader> parse_frame_header(std::span<const std::uint8_t, kFrameHeaderSize> raw) {
  if (raw[0] != kFrameMagic) {
    return fail(Error::msg("invalid ZeDidi control header " + hex_lower(raw)));
  }
  ByteReader r(ByteSpan(raw).subspan(1));
  FrameHeader h;
  h.outer_type = *r.u8();
  h.command = *r.u8();
  h.value_type = *r.u16be();
  h.body_length = *r.u32be();
  if (h.body_length > kMaxFrameBody) {
    return fail(Error::msg(fmt::format("invalid ZeDidi body length {}", h.body_length)));
  }
  return h;
}

std::array<std::uint8_t, kFrameHeaderSize> encode_frame_header(const FrameHeader& header) {
  ByteWriter w(kFrameHeaderSize);
  w.u8(kFrameMagic).u8(header.outer_type).u8(header.command).u16be(header.value_type).u32be(
      header.body_length);
  std::array<std::uint8_t, kFrameHeaderSize> out{};
  std::memcpy(out.data(), w.view().data(), out.size());
  return out;
}

namespace {

constexpr std::size_t kEncryptedHead = 9;  // marker, padding length, checksum

// Zero bytes that pad `plain` bytes to whole blocks: a full block when already aligned.
std::uint8_t padding_of(std::size_t plain) { return static_cast<std::uint8_t>(16 - plain % 16); }

}  // namespace

Bytes ControlCipher::encrypt(ByteSpan plaintext) {
  const std::uint8_t pad = padding_of(plaintext.size());
  Bytes body(kEncryptedHead + plaintext.size() + pad, 0);
  if (!plaintext.empty()) std::memcpy(body.data() + kEncryptedHead, plaintext.data(), plaintext.size());
  seal(body, pad);
  return body;
}

void ControlCipher::seal(std::span<std::uint8_t> body, std::uint8_t pad) {
  const std::span<std::uint8_t> blocks = body.subspan(kEncryptedHead);
  // Whole blocks by construction, so the block cipher cannot refuse the input.
  (void)aes128_cbc_encrypt_in_place(key_, iv_, blocks);
  std::memcpy(iv_.data(), blocks.data() + blocks.size() - 16, 16);
  const std::uint32_t crc = crc32_mpeg2(blocks);
  std::memcpy(body.data(), kEncryptedMarker.data(), kEncryptedMarker.size());
  body[4] = pad;
  for (int i = 0; i < 4; ++i) body[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
}

Result<Bytes> ControlCipher::decrypt(ByteSpan body) {
  return decrypt(Bytes(body.begin(), body.end()));
}

Result<Bytes> ControlCipher::decrypt(Bytes&& body) {
  const std::size_t len = body.size();
  if (len < 25 || (len - 9) % 16 != 0) {
    return fail(Error::msg(fmt::format("invalid encrypted ZeDidi body length {}", len)));
  }
  const std::span<std::uint8_t> cipher = std::span(body).subspan(9);
  ByteReader head(ByteSpan(body).subspan(4, 5));
  const std::uint8_t pad = *head.u8();
  const std::uint32_t received = *head.u32le();
  const std::uint32_t computed = crc32_mpeg2(cipher);
  if (received != computed) {
    return fail(Error::msg(fmt::format(
        "ZeDidi encrypted-body integrity mismatch: received {:08x}, expected {:08x}",
        byte_swap(received), byte_swap(computed))));
  }
  std::array<std::uint8_t, 16> next_iv{};
  std::memcpy(next_iv.data(), cipher.data() + cipher.size() - 16, 16);
  SV_TRY(aes128_cbc_decrypt_in_place(key_, iv_, cipher));
  if (pad < 1 || pad > 16) {
    return fail(Error::msg(fmt::format("invalid ZeDidi zero-padding length {}", pad)));
  }
  body.erase(body.end() - pad, body.end());
  body.erase(body.begin(), body.begin() + 9);
  iv_ = next_iv;
  return std::move(body);
}

Result<Bytes> wrap_payload(ByteSpan key, ByteSpan data) {
  if (key.size() > 255 || data.size() > 255) {
    return fail(Error::msg("ZeDidi wrapped payload exceeds one-byte length field"));
  }
  ByteWriter w(key.size() + data.size() + 6);
  w.u8(static_cast<std::uint8_t>(key.size())).bytes(key).u32le(30).u8(
      static_cast<std::uint8_t>(data.size())).bytes(data);
  return w.take();
}

Result<WrapperEntry> unwrap_payload(ByteSpan body) {
  if (body.empty()) return fail(Error::msg("empty ZeDidi wrapper"));
  ByteReader r(body);
  const std::uint8_t k = *r.u8();
  if (std::size_t{k} + 5 > r.remaining()) return fail(Error::msg("truncated ZeDidi wrapper"));
  WrapperEntry entry;
  entry.key = utf8_lossy(*r.bytes(k));
  entry.entry_type = *r.u32le();
  const std::uint8_t d = *r.u8();
  auto data = r.bytes(d);
  if (!data) return fail(Error::msg("truncated ZeDidi wrapped data"));
  entry.data.assign(data->begin(), data->end());
  return entry;
}

JsonTree parse_json_payload(ByteSpan body, const ByteBudget* shared) {
  if (body.empty()) return {};
  if (body[0] >= 9) return parse_json_strict(body, shared);
  if (auto entry = unwrap_payload(body)) return parse_json_strict(entry->data, shared);
  return parse_json_strict(body, shared);
}

Result<DecodedBody> decode_received_body(std::uint8_t outer_type, Bytes body,
                                         ControlCipher& receive_cipher) {
  if (is_encrypted_body(body)) {
    SV_ASSIGN_OR_RETURN(Bytes plain, receive_cipher.decrypt(std::move(body)));
    return DecodedBody{std::move(plain), true};
  }
  if (outer_type == kOuterWrapped) {
    SV_ASSIGN_OR_RETURN(WrapperEntry entry, unwrap_payload(body));
    return DecodedBody{std::move(entry.data), false};
  }
  return DecodedBody{std::move(body), false};
}

Result<Bytes> encode_frame_body(const Outgoing& message, ControlCipher& send_cipher) {
  using Mode = Outgoing::Mode;
  if (message.mode > Mode::kWrappedEncrypted) return fail(Error::msg("unknown ZeDidi message mode"));
  const bool wrapped = message.mode == Mode::kWrapped || message.mode == Mode::kWrappedEncrypted;
  const bool encrypted = message.mode == Mode::kEncrypted || message.mode == Mode::kWrappedEncrypted;
  const ByteSpan key = as_bytes(message.wrapper_key);
  const ByteSpan data(message.body);
  if (wrapped && (key.size() > 255 || data.size() > 255)) {
    return fail(Error::msg("ZeDidi wrapped payload exceeds one-byte length field"));
  }
  const std::size_t plain = wrapped ? key.size() + data.size() + 6 : data.size();
  const std::uint8_t pad = encrypted ? padding_of(plain) : 0;
  const std::size_t head = encrypted ? kEncryptedHead : 0;
  Bytes body(head + plain + pad, 0);
  std::size_t at = head;
  const auto put = [&](ByteSpan bytes) {
    if (!bytes.empty()) std::memcpy(body.data() + at, bytes.data(), bytes.size());
    at += bytes.size();
  };
  if (wrapped) {
    // key length (1), key, entry type 30 (u32 little-endian), data length (1), data
    const std::array<std::uint8_t, 1> key_length{static_cast<std::uint8_t>(key.size())};
    constexpr std::array<std::uint8_t, 4> kEntryType{30, 0, 0, 0};
    const std::array<std::uint8_t, 1> data_length{static_cast<std::uint8_t>(data.size())};
    put(key_length);
    put(key);
    put(kEntryType);
    put(data_length);
  }
  put(data);
  if (encrypted) send_cipher.seal(body, pad);
  return body;
}

std::size_t queued_frame_bytes(const Outgoing& message) {
  using Mode = Outgoing::Mode;
  std::size_t n = kFrameHeaderSize + message.body.size();
  if (message.mode == Mode::kWrapped || message.mode == Mode::kWrappedEncrypted) {
    n += 6 + message.wrapper_key.size();
  }
  if (message.mode == Mode::kEncrypted || message.mode == Mode::kWrappedEncrypted) {
    n += 9 + 16;  // marker, padding length, checksum and up to one block of padding
  }
  return n;
}

}  // namespace sonvale
