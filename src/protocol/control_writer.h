#pragma once

// The writer thread of one control connection: the only code that writes to the connection. It
// takes the queued messages in order, frames them (wrapping and encrypting as each message's mode
// says, with the connection's send cipher), reports each as a "protocol_trace" event and writes it.

#include <array>
#include <cstdint>

#include "core/channel.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_frame.h"

namespace sonvale {

// Returns success once every sender is gone and the queue is drained; an error at the first
// message that cannot be framed or written. The receiving end is closed on return, so later
// sends on the connection fail.
[[nodiscard]] Result<> writer_loop(int socket_fd, Receiver<Outgoing> messages,
                                   const std::array<std::uint8_t, 16>& cipher_key,
                                   const EventSink& events);

// The thread body: runs writer_loop and reports its failure as "sonvale_control_write_failed".
// Closes its socket clone at the end (which does not shut the connection down).
void control_writer_main(Fd socket, Receiver<Outgoing> messages,
                         std::array<std::uint8_t, 16> cipher_key, EventSink events);

}  // namespace sonvale
