// Fuzzes a control session's read path: frames come in over a fake connection, are decoded,
// traced and dispatched into a real control hub. The input is a list of frame descriptions that
// the harness turns into wire bytes, encrypting a body with the session's own key when asked, so
// that the handlers behind decryption are reached; a leading 0xFF byte feeds the rest raw.
//
// Frame description: outer type, command, value type (2 bytes), flags (bit 0: encrypt, bit 1:
// wrap in an entry keyed "cmd"), body length (1 byte), body.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/bytes.h"
#include "protocol/control_hub.h"
#include "protocol/control_session.h"
#include "protocol/safety_auth.h"

using namespace sonvale;

namespace {

const SocketAddrV4 kLocal{Ipv4::loopback(), 8899};
const SocketAddrV4 kPeer{Ipv4::from_octets(127, 0, 0, 1), 40000};

Bytes build_wire(ByteSpan input, ControlCipher& phone_cipher) {
  if (!input.empty() && input[0] == 0xFF) return Bytes(input.begin() + 1, input.end());
  ByteReader r(input);
  ByteWriter w;
  for (;;) {
    auto outer = r.u8();
    auto command = r.u8();
    auto value_type = r.u16be();
    auto flags = r.u8();
    auto length = r.u8();
    if (!outer || !command || !value_type || !flags || !length) break;
    auto body = r.bytes(std::min<std::size_t>(*length, r.remaining()));
    Bytes payload(body->begin(), body->end());
    if (*flags & 2) {
      if (auto wrapped = wrap_payload(as_bytes("cmd"), payload)) payload = std::move(*wrapped);
    }
    if (*flags & 1) payload = phone_cipher.encrypt(payload);
    w.u8(kFrameMagic).u8(*outer).u8(*command).u16be(*value_type).u32be(
        static_cast<std::uint32_t>(payload.size())).bytes(payload);
  }
  return w.take();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::array<std::uint8_t, 16> cipher_key =
      control_cipher_key(generate_auth_key(kLocal, kPeer));
  ControlCipher phone_cipher(cipher_key);
  const Bytes wire = build_wire(ByteSpan(data, size), phone_cipher);

  auto volume = std::make_shared<std::atomic<std::uint32_t>>(50);
  ControlHub hub(volume, system_clock());
  auto [sender, receiver] = make_channel<Outgoing>();
  auto sequence = std::make_shared<std::atomic<std::uint32_t>>(8);
  hub.register_control_route(1, kPeer.ip, sender, sequence);
  SessionContext ctx{1, DeviceIdentity{"xYz", "SonVale", "Mac", "macOS", 3}, hub,
                     EventSink([](Json event) { (void)compact_json(event); }), [](CastOpen) {}};
  ControlSession session(std::move(ctx), kLocal, kPeer, sender, sequence,
                         "00112233445566778899aabbccddeeff");
  ControlCipher receive_cipher(cipher_key);
  std::size_t pos = 0;
  // Reads arrive in small pieces, as from a real socket.
  const ReadSomeFn read = [&](std::span<std::uint8_t> buf,
                              std::optional<Clock::time_point>) -> Result<std::size_t> {
    const std::size_t n = std::min({buf.size(), wire.size() - pos, std::size_t{7}});
    if (n > 0) std::memcpy(buf.data(), wire.data() + pos, n);
    pos += n;
    return n;
  };
  const FrameSource source{.read = read, .clock = system_clock()};
  for (int frames = 0; frames < 64; ++frames) {
    auto frame = read_incoming(source, receive_cipher);
    if (!frame) break;
    (void)compact_json(incoming_trace(*frame));
    if (!session.handle(*frame)) break;
    while (receiver.try_recv()) {
    }
  }
  hub.deactivate(1);
  return 0;
}
