#include "media/rtsp/rtsp_transport.h"

#include <array>

#include "core/net.h"
#include "media/media_error.h"

namespace sonvale {

std::string format_rtsp_response(std::string_view cseq, std::string_view body) {
  std::string out = "RTSP/1.0 200 OK\r\n";
  out += kRtspUserAgent;
  out += "\r\nCSeq: ";
  out += cseq;
  out += "\r\nContent-Type: text/parameters\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\n\r\n";
  out += body;
  return out;
}

Result<> write_rtsp(int fd, std::string_view text, const SessionToken& token) {
  return write_all_by(fd, as_bytes(text), std::chrono::steady_clock::now() + kRtspWriteTimeout,
                      [&token] { return !token.current(); });
}

Result<> send_rtsp_response(int fd, const SessionToken& token, std::string_view cseq,
                            std::string_view body) {
  return with_context(write_rtsp(fd, format_rtsp_response(cseq, body), token),
                      "write RTSP response");
}

std::string format_rtsp_request(std::string_view method, std::string_view uri, std::uint32_t cseq,
                                std::string_view header_lines) {
  std::string out;
  out += method;
  out += ' ';
  out += uri;
  out += " RTSP/1.0\r\n";
  out += kRtspUserAgent;
  out += "\r\nCSeq: ";
  out += std::to_string(cseq);
  out += "\r\n";
  out += header_lines;
  out += "\r\n";
  return out;
}

Result<std::optional<RtspMessage>> RtspReader::next_message(int fd) {
  std::array<std::uint8_t, kReadChunk> chunk{};
  for (;;) {
    SV_ASSIGN_OR_RETURN(std::optional<RtspMessage> message, framer_.next());
    if (message) return message;
    if (counter_->load(std::memory_order_acquire) != generation_) {
      return std::optional<RtspMessage>();
    }
    auto n = read_some(fd, chunk);
    if (!n) {
      const IoKind kind = n.error().io_kind();
      if (kind == IoKind::kWouldBlock || kind == IoKind::kTimedOut) {
        return std::optional<RtspMessage>();
      }
      SV_TRY(with_context(std::move(n), "read RTSP message"));
    }
    if (*n == 0) return fail(remote_channel_closed({"rtsp", 0, 0}));
    framer_.append(ByteSpan(chunk).first(*n));
  }
}

}  // namespace sonvale
