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

// Binds UDP <address>:55982 with a 50 ms receive time-out and starts the detached thread
// "sonvale-lyra-control", which serves the Lyra command channel until `stop_flag` is set and
// then closes the socket. Returns the port, always 55982.
[[nodiscard]] Result<std::uint16_t> start_lyra_server(Ipv4 address, std::string lyra_instance_id,
                                                      std::string name, std::string platform,
                                                      std::uint8_t device_type,
                                                      std::shared_ptr<std::atomic<bool>> stop_flag,
                                                      EventSink events,
                                                      std::shared_ptr<const Clock> clock);

// As start_lyra_server, on any local address (tests use port 0); returns the bound port.
[[nodiscard]] Result<std::uint16_t> start_lyra_server_on(SocketAddrV4 address, lyra::LyraDevice device,
                                                         std::shared_ptr<std::atomic<bool>> stop_flag,
                                                         EventSink events,
                                                         std::shared_ptr<const Clock> clock);

namespace lyra {

// The receive loop: a resend pass, then one datagram (or the receive time-out), until the stop
// flag is seen set. A receive error other than the time-out is reported and followed by a
// 100 ms pause.
void run_server(DatagramSocket& socket, SegmentTransport& transport, const Clock& clock,
                const std::atomic<bool>& stop_flag, const EventSink& events);

}  // namespace lyra
}  // namespace sonvale
