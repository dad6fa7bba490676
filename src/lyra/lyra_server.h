#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "core/udp_socket.h"
#include "lyra/frames.h"
#include "lyra/segment_transport.h"

namespace sonvale {

inline constexpr std::uint16_t kLyraPort = 55982;

// What the Lyra server runs with, handed over whole by the receiver's start.
struct LyraServerParams {
  SocketAddrV4 address;  // <address>:kLyraPort for the receiver; tests bind port 0
  lyra::LyraDevice device;
  std::shared_ptr<const Clock> clock;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  EventSink events;
};

// Binds UDP `address` with a 50 ms receive time-out and starts the detached thread
// "sonvale-lyra-control", which serves the Lyra command channel until the stop flag is set and
// then closes the socket. Returns the bound port.
[[nodiscard]] Result<std::uint16_t> start_lyra_server(LyraServerParams params);

namespace lyra {

// The receive loop: a resend pass, then one datagram (or the receive time-out), until the stop
// flag is seen set. A receive error other than the time-out is reported and followed by a
// 100 ms pause.
void run_server(DatagramSocket& socket, SegmentTransport& transport, const Clock& clock,
                const std::atomic<bool>& stop_flag, const EventSink& events);

}  // namespace lyra
}  // namespace sonvale
