#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale {

inline constexpr std::uint16_t kLyraPort = 55982;

// Binds UDP <address>:55982 with a 50 ms receive time-out and starts the thread
// "sonvale-lyra-control", which serves the Lyra command channel until `stop_flag` is set.
// Returns the port, always 55982.
//
// INTERIM: until the Lyra channel lands, the thread reads and discards datagrams.
[[nodiscard]] Result<std::uint16_t> start_lyra_server(Ipv4 address, std::string lyra_instance_id,
                                                      std::string name, std::string platform,
                                                      std::uint8_t device_type,
                                                      std::shared_ptr<std::atomic<bool>> stop_flag,
                                                      EventSink events);

}  // namespace sonvale
