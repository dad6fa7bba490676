#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/decimal.h"
#include "core/error.h"

namespace sonvale {

// Largest RTSP message (header and body together) the media session accepts.
inline constexpr std::size_t kMaxRtspMessageBytes = 1048576;

// One framed RTSP message (RFC 2326 framing: header lines ended by CRLF, a blank line, then
// Content-Length bytes of body).
struct RtspMessage {
  std::string start_line;                      // up to the first CRLF, untrimmed
  std::map<std::string, std::string> headers;  // ASCII-lower-cased, trimmed names; trimmed values
  Bytes body;

  // The body when it is valid UTF-8, otherwise the empty text.
  std::string body_text() const;
  // The value of the header `lower_name` (already lower case), or null.
  const std::string* header(std::string_view lower_name) const;
};

// A message framed from the front of a receive buffer and how many bytes of it it took.
struct FramedRtspMessage {
  RtspMessage message;
  std::size_t consumed = 0;
};

// Frames the first message of `buffer`. Returns nullopt when more bytes are needed, the message
// when it is complete, or a failure when the buffered bytes can never become a valid message
// (limits, a header that is not UTF-8, an unparsable Content-Length).
[[nodiscard]] Result<std::optional<FramedRtspMessage>> frame_rtsp_message(ByteSpan buffer);

// A header framed from the front of a buffer: its message (without the body yet) and where, in
// that buffer, the header and the whole message end.
struct ParsedRtspHeader {
  RtspMessage message;
  std::size_t header_end = 0;   // just past the blank line
  std::size_t message_end = 0;  // header_end + Content-Length, within the message limit
};

// Reassembles the messages of one RTSP connection from the bytes as they arrive, in time linear
// in those bytes: the search for the blank line resumes where the previous search stopped, and a
// header is parsed once, however many pieces its body comes in. Gives the messages, and the
// failures, that frame_rtsp_message gives over the same bytes. After a failure the framer is not
// used again. Holds at most 1048576 bytes plus the last appended piece.
class RtspFramer {
 public:
  // Adds bytes received from the connection.
  void append(ByteSpan bytes);
  // The next complete message, nullopt when more bytes are needed, or the framing failure.
  [[nodiscard]] Result<std::optional<RtspMessage>> next();
  std::size_t buffered() const { return buffer_.size(); }

 private:
  Bytes buffer_;
  // No blank line starts before this offset of `buffer_`.
  std::size_t searched_ = 0;
  // The header of the message at the front of `buffer_`, once its blank line has arrived.
  std::optional<ParsedRtspHeader> pending_;
};

// True for a start line of at least 5 bytes that begins with "RTSP/" (exact case).
bool is_rtsp_response(std::string_view start_line);
// The first whitespace-separated piece of the start line, ASCII upper-cased; empty when none.
std::string rtsp_method(std::string_view start_line);
// The "cseq" header value, or "0" without one.
std::string rtsp_cseq(const RtspMessage& message);

// The value of `name` in a text/parameters body: the first line "key: value" whose trimmed key
// equals `name` ignoring ASCII case and whose trimmed value is non-empty.
std::optional<std::string> parameter_value(std::string_view text, std::string_view name);
// The rest of the first line that begins with exactly "wfd_presentation_URL:".
std::optional<std::string_view> presentation_url_line(std::string_view text);
// The first non-empty piece of `text` split at whitespace.
std::optional<std::string_view> first_token(std::string_view text);
// An optional "+", then one or more ASCII digits, nothing else; must fit in 64 bits.
std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text);

}  // namespace sonvale
