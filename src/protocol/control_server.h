#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_hub.h"

namespace sonvale {

inline constexpr std::uint16_t kControlPort = 8899;

// The receiver as the control protocol describes it to the phone.
struct DeviceIdentity {
  std::string id_code;  // the 3-character identity code
  std::string name;
  std::string model;
  std::string platform;
  std::uint8_t device_type = 0;
};

// Binds TCP <address>:8899 and starts the listener thread "sonvale-control-listener", which ends
// once `stop_flag` is set. Returns the control hub shared with the listener.
//
// INTERIM: until the control sessions land, the listener accepts each connection, registers it
// and closes it at once.
[[nodiscard]] Result<ControlHub> start_control_server(
    Ipv4 address, DeviceIdentity identity, std::optional<std::string> output_device,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<std::atomic<bool>> stop_flag, EventSink events);

}  // namespace sonvale
