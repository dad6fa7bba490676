#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"
#include "media/rtsp/rtsp_message.h"
#include "media/session_context.h"

namespace sonvale {

// The User-Agent line every text of the receiver's RTSP exchange carries.
inline constexpr std::string_view kRtspUserAgent =
    "User-Agent: stagefright/1.1 (Linux;Android 4.1)";

// How long one text of the receiver may take to be written whole to the RTSP connection.
inline constexpr std::chrono::milliseconds kRtspWriteTimeout{3000};

// Writes one text of the receiver whole to the RTSP connection `fd`. Fails with EAGAIN when it is
// not written within kRtspWriteTimeout, and with ECANCELED within 50 ms of `token` no longer being
// current, so a retired session never waits on a source that does not read.
[[nodiscard]] Result<> write_rtsp(int fd, std::string_view text, const SessionToken& token);

// "RTSP/1.0 200 OK" with the User-Agent, the CSeq, "Content-Type: text/parameters" and the
// body's Content-Length, then the body.
std::string format_rtsp_response(std::string_view cseq, std::string_view body);
// Writes format_rtsp_response with write_rtsp; a failure carries "write RTSP response".
[[nodiscard]] Result<> send_rtsp_response(int fd, const SessionToken& token, std::string_view cseq,
                                          std::string_view body);

// One of the receiver's own requests: "<method> <uri> RTSP/1.0", the User-Agent, "CSeq: <n>",
// then `header_lines` (each already ended by CRLF), then the empty line. No body.
std::string format_rtsp_request(std::string_view method, std::string_view uri, std::uint32_t cseq,
                                std::string_view header_lines);

// Reads messages from the session's RTSP connection into a framer of its own. Used only by the
// session thread; `counter` must outlive the reader.
class RtspReader {
 public:
  static constexpr std::size_t kReadChunk = 8192;

  RtspReader(std::uint64_t generation, const std::atomic<std::uint64_t>& counter)
      : generation_(generation), counter_(&counter) {}

  // The next message. nullopt when a read timed out (SO_RCVTIMEO) before a message was complete,
  // or when the media generation counter no longer holds the session's generation: it is tested
  // before every read, so a source that keeps sending cannot keep a retired session reading.
  // Buffered bytes are kept. End of stream fails with a RemoteChannelClosed {"rtsp", 0, 0}; other
  // read failures carry "read RTSP message"; framing failures end the session as they stand.
  [[nodiscard]] Result<std::optional<RtspMessage>> next_message(int fd);

 private:
  std::uint64_t generation_;
  const std::atomic<std::uint64_t>* counter_;
  RtspFramer framer_;
};

}  // namespace sonvale
