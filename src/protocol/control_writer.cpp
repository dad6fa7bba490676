#include "protocol/control_writer.h"

#include <fmt/format.h>

#include "protocol/control_events.h"

namespace sonvale {
namespace {

bool wrapped_mode(Outgoing::Mode mode) {
  return mode == Outgoing::Mode::kWrapped || mode == Outgoing::Mode::kWrappedEncrypted;
}

}  // namespace

Result<> writer_loop(int socket_fd, Receiver<Outgoing> messages,
                     const std::array<std::uint8_t, 16>& cipher_key, const EventSink& events) {
  ControlCipher cipher(cipher_key);
  // The socket's send time-out bounds the write of each whole frame, not each send call, which
  // a peer that takes a few bytes now and then would otherwise renew without end.
  const auto configured = send_timeout(socket_fd);
  const std::chrono::microseconds frame_timeout = configured ? *configured : kControlWriteTimeout;
  const auto write_frame = [&](ByteSpan header, ByteSpan body) -> Result<> {
    if (frame_timeout.count() <= 0) {
      SV_TRY(write_all(socket_fd, header));
      return write_all(socket_fd, body);
    }
    const auto deadline = std::chrono::steady_clock::now() + frame_timeout;
    SV_TRY(write_all_by(socket_fd, header, deadline));
    return write_all_by(socket_fd, body, deadline);
  };
  while (auto message = messages.recv()) {
    SV_ASSIGN_OR_RETURN(const Bytes frame_body, encode_frame_body(*message, cipher));
    const std::uint8_t outer_type =
        message->outer_type.value_or(wrapped_mode(message->mode) ? kOuterWrapped : kOuterPlain);
    events(outgoing_trace_event(*message, outer_type, frame_body));
    if (frame_body.size() > kMaxFrameBody) {
      return fail(Error::msg(
          fmt::format("ZeDidi control body is too large: {} bytes", frame_body.size())));
    }
    if (message->value_type > 0xFFFF) {
      return fail(Error::msg("out of range integral type conversion attempted")
                      .context("ZeDidi value type exceeds 16 bits"));
    }
    const auto header = encode_frame_header(FrameHeader{
        outer_type, message->command, static_cast<std::uint16_t>(message->value_type),
        static_cast<std::uint32_t>(frame_body.size())});
    auto written = write_frame(header, frame_body);
    if (!written) {
      Error error = std::move(written).error();
      if (error.io_kind() == IoKind::kWouldBlock) error.context(write_stall_text());
      return fail(std::move(error));
    }
  }
  return {};
}

std::string write_stall_text() {
  return fmt::format("ZeDidi control write blocked for {} s", kControlWriteTimeout.count());
}

void control_writer_main(Fd socket, Receiver<Outgoing> messages,
                         std::array<std::uint8_t, 16> cipher_key, EventSink events,
                         std::shared_ptr<std::atomic<bool>> write_stalled) {
  Result<> result;
  try {
    result = writer_loop(socket.get(), std::move(messages), cipher_key, events);
  } catch (const std::exception& e) {  // std::bad_alloc: the queue is gone with the frame
    result = fail(Error::msg(e.what()).context("write ZeDidi control frame"));
  }
  if (result) return;
  events(write_failed_event(result.error()));
  if (result.error().io_kind() == IoKind::kWouldBlock) {
    if (write_stalled) write_stalled->store(true, std::memory_order_release);
    shutdown_both(socket.get());
  }
}

}  // namespace sonvale
