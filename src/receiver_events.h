#pragma once

// Every event the receiver's root and the relvox executable emit themselves, built here: the
// receiver's start, the executable's readiness and the failures of its command line and start.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/event_sink.h"
#include "receiver_config.h"

namespace sonvale {

// --- the receiver's start ---
Json lan_removed_event();
// `service` is the announced mDNS service name, `lyra_port` the bound Lyra port.
Json receiver_ready_event(const ReceiverConfig& config, const std::string& service,
                          std::uint16_t lyra_port);

// --- the relvox executable ---
Json bridge_ready_event(const std::string& ip, const std::string& name);
Json start_failed_event(const Error& error);
// A standard-input line that is no command; `raw` is the line as read.
Json unsupported_command_event(std::string_view raw);
Json command_line_too_long_event(std::size_t limit);
// A command line dropped because `limit` commands already wait.
Json command_queue_full_event(std::size_t limit);

}  // namespace sonvale
