#pragma once

// The writer thread of one control connection: the only code that writes to the connection. It
// takes the queued messages in order, frames them (wrapping and encrypting as each message's mode
// says, with the connection's send cipher), reports each as a "protocol_trace" event and writes it.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/channel.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_frame.h"

namespace sonvale {

// A frame that is not written whole this long after its write began fails the writer. The session
// sets it as the socket's send time-out, which the writer applies to each frame as a whole.
inline constexpr std::chrono::seconds kControlWriteTimeout{10};
// The failure of a write blocked for kControlWriteTimeout.
std::string write_stall_text();

// Returns success once every sender is gone and the queue is drained; an error at the first
// message that cannot be framed or written. A frame not written whole within the socket's send
// time-out (none: without limit) fails with EAGAIN. The receiving end is closed on return, so later
// sends on the connection fail.
[[nodiscard]] Result<> writer_loop(int socket_fd, Receiver<Outgoing> messages,
                                   const std::array<std::uint8_t, 16>& cipher_key,
                                   const EventSink& events);

// The thread body: runs writer_loop and reports its failure as "sonvale_control_write_failed".
// Closes its socket clone at the end, which does not shut the connection down, except after a
// write blocked for kControlWriteTimeout: then it sets `write_stalled` and shuts the connection
// down, so that the session's read ends and the session fails with write_stall_text().
void control_writer_main(Fd socket, Receiver<Outgoing> messages,
                         std::array<std::uint8_t, 16> cipher_key, EventSink events,
                         std::shared_ptr<std::atomic<bool>> write_stalled = nullptr);

}  // namespace sonvale
