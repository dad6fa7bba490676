#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_hub.h"
#include "protocol/control_session.h"
#include "protocol/device_identity.h"

namespace sonvale {

inline constexpr std::uint16_t kControlPort = 8899;

// Binds TCP <address>:8899 (address reuse, backlog 128, non-blocking), creates the control hub and
// starts the listener thread "sonvale-control-listener", which accepts phones and runs one
// session thread "sonvale-control-<id>" per connection until `stop_flag` is set. Returns the hub
// shared with the listener. `spawner` starts the media session of an open command. `clock` is
// what the hub, the sessions and the media configuration measure on.
[[nodiscard]] Result<ControlHub> start_control_server(
    Ipv4 address, DeviceIdentity identity, std::optional<std::string> output_device,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<std::atomic<bool>> stop_flag, EventSink events, RtspSpawner spawner,
    std::shared_ptr<const Clock> clock);

// As start_control_server, on any local address (tests use port 0); `bound` receives the port.
[[nodiscard]] Result<ControlHub> start_control_server_on(
    SocketAddrV4 address, DeviceIdentity identity, std::optional<std::string> output_device,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<std::atomic<bool>> stop_flag, EventSink events, RtspSpawner spawner,
    std::shared_ptr<const Clock> clock, std::uint16_t* bound = nullptr);

// Whether the error that ended a session means the connection simply ended: a reset, an abort,
// a time-out or the end of the stream.
bool is_normal_peer_disconnect(const Error& error);

}  // namespace sonvale
