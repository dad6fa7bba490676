#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_hub.h"
#include "protocol/control_session.h"
#include "protocol/device_identity.h"
#include "protocol/media_launcher.h"

namespace sonvale {

// The port the receiver serves the control protocol on, and announces to phones over Lyra.
inline constexpr std::uint16_t kControlPort = 8899;

// What the control server is started with.
struct ControlServerParams {
  // The receiver binds <its address>:kControlPort; tests bind port 0 on loopback.
  SocketAddrV4 address;
  DeviceIdentity identity;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  EventSink events;
  // What the hub, the sessions and their deadlines measure on. Never null.
  std::shared_ptr<const Clock> clock;
  // Starts the media session of an open command; never empty.
  MediaLauncher launcher;
};

// A started control server: the hub it shares with its listener and the port it listens on.
struct ControlServer {
  ControlHub hub;
  std::uint16_t port = 0;
};

// Binds TCP `params.address` (address reuse, backlog 128, non-blocking), creates the control hub
// and starts the listener thread "sonvale-control-listener", which accepts phones and runs one
// session thread "sonvale-control-<id>" per connection until `stop_flag` is set.
[[nodiscard]] Result<ControlServer> start_control_server(ControlServerParams params);

// Whether the error that ended a session means the connection simply ended: a reset, an abort,
// a time-out or the end of the stream.
bool is_normal_peer_disconnect(const Error& error);

}  // namespace sonvale
