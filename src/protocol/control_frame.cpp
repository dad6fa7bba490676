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

Bytes ControlCipher::encrypt(ByteSpan plaintext) {
  const std::size_t pad = 16 - (plaintext.size() % 16);
  Bytes padded(plaintext.size() + pad, 0);
  if (!plaintext.empty()) std::memcpy(padded.data(), plaintext.data(), plaintext.size());
  // Whole blocks by construction, so the block cipher cannot refuse the input.
  Bytes cipher = std::move(*aes128_cbc_encrypt(key_, iv_, padded));
  std::memcpy(iv_.data(), cipher.data() + cipher.size() - 16, 16);
  ByteWriter w(9 + cipher.size());
  w.bytes(kEncryptedMarker).u8(static_cast<std::uint8_t>(pad)).u32le(crc32_mpeg2(cipher)).bytes(
      cipher);
  return w.take();
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
