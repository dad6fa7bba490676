#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"
#include "media/rtsp/rtsp_message.h"

namespace sonvale {

// The User-Agent line every text of the receiver's RTSP exchange carries.
inline constexpr std::string_view kRtspUserAgent =
    "User-Agent: stagefright/1.1 (Linux;Android 4.1)";

// "RTSP/1.0 200 OK" with the User-Agent, the CSeq, "Content-Type: text/parameters" and the
// body's Content-Length, then the body.
std::string format_rtsp_response(std::string_view cseq, std::string_view body);
// Writes format_rtsp_response in one write-all call; a failure carries "write RTSP response".
[[nodiscard]] Result<> send_rtsp_response(int fd, std::string_view cseq, std::string_view body);

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
