#include "media/rtsp/rtsp_message.h"

#include <algorithm>
#include <limits>

#include "core/decimal.h"
#include "core/text.h"

namespace sonvale {
namespace {

constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// Text whose bytes may not be UTF-8 is trimmed of ASCII whitespace only.
std::string_view trim(std::string_view text) {
  if (is_valid_utf8(text)) return trim_whitespace(text);
  const auto ws = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!text.empty() && ws(text.front())) text.remove_prefix(1);
  while (!text.empty() && ws(text.back())) text.remove_suffix(1);
  return text;
}

// Calls `fn` with each line of `text` split at LF, one CR before the LF removed; a final line
// without LF counts. Stops early when `fn` returns true.
template <class Fn>
void for_each_line(std::string_view text, Fn&& fn) {
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r' && lf != std::string_view::npos) line.remove_suffix(1);
    if (fn(line)) return;
    if (lf == std::string_view::npos) return;
    text.remove_prefix(lf + 1);
  }
}

Error limit_error(std::string_view what) {
  return Error::msg("ZeDidi RTSP " + std::string(what) + " exceeds " +
                    std::to_string(kMaxRtspMessageBytes) + " bytes");
}

}  // namespace

std::string RtspMessage::body_text() const {
  const std::string_view text = as_text(body);
  if (!is_valid_utf8(text)) return {};
  return std::string(text);
}

const std::string* RtspMessage::header(std::string_view lower_name) const {
  const auto it = headers.find(std::string(lower_name));
  return it == headers.end() ? nullptr : &it->second;
}

namespace {

// The start of the first CRLF CRLF of `buffer` at or after `from`, or npos.
std::size_t find_blank_line(ByteSpan buffer, std::size_t from) {
  return as_text(buffer).find(kHeaderEnd, from);
}

// The header of `buffer`, whose first CRLF CRLF starts at `blank`, with its Content-Length
// checked against the limits.
Result<ParsedRtspHeader> parse_header(ByteSpan buffer, std::size_t blank) {
  ParsedRtspHeader parsed;
  parsed.header_end = blank + kHeaderEnd.size();
  if (parsed.header_end > kMaxRtspMessageBytes) return fail(limit_error("header"));
  const std::string_view header_text = as_text(buffer).substr(0, blank);
  if (!is_valid_utf8(header_text)) {
    return fail(Error::msg("invalid UTF-8 sequence").context("RTSP header is not UTF-8"));
  }

  RtspMessage& message = parsed.message;
  std::string_view rest = header_text;
  bool first = true;
  for (;;) {
    const std::size_t crlf = rest.find("\r\n");
    const std::string_view piece = rest.substr(0, crlf);
    if (first) {
      message.start_line = std::string(piece);
      first = false;
    } else if (const std::size_t colon = piece.find(':'); colon != std::string_view::npos) {
      message.headers[ascii_lower(trim_whitespace(piece.substr(0, colon)))] =
          std::string(trim_whitespace(piece.substr(colon + 1)));
    }
    if (crlf == std::string_view::npos) break;
    rest.remove_prefix(crlf + 2);
  }

  std::uint64_t content_length = 0;
  if (const std::string* value = message.header("content-length")) {
    SV_ASSIGN_OR_RETURN(content_length,
                        with_context(parse_u64_decimal(*value), "invalid RTSP Content-Length"));
  }
  std::uint64_t message_end = 0;
  if (__builtin_add_overflow(static_cast<std::uint64_t>(parsed.header_end), content_length,
                             &message_end)) {
    return fail(Error::msg("ZeDidi RTSP message length overflow"));
  }
  if (message_end > kMaxRtspMessageBytes) return fail(limit_error("message"));
  parsed.message_end = static_cast<std::size_t>(message_end);
  return parsed;
}

// Moves the body of `parsed` out of `buffer` into its message.
RtspMessage take_message(ParsedRtspHeader& parsed, ByteSpan buffer) {
  parsed.message.body.assign(buffer.begin() + static_cast<std::ptrdiff_t>(parsed.header_end),
                             buffer.begin() + static_cast<std::ptrdiff_t>(parsed.message_end));
  return std::move(parsed.message);
}

}  // namespace

Result<std::optional<FramedRtspMessage>> frame_rtsp_message(ByteSpan buffer) {
  if (buffer.size() < kHeaderEnd.size()) return std::optional<FramedRtspMessage>();
  const std::size_t blank = find_blank_line(buffer, 0);
  if (blank == std::string_view::npos) {
    if (buffer.size() > kMaxRtspMessageBytes) return fail(limit_error("header"));
    return std::optional<FramedRtspMessage>();
  }
  SV_ASSIGN_OR_RETURN(ParsedRtspHeader parsed, parse_header(buffer, blank));
  if (buffer.size() < parsed.message_end) return std::optional<FramedRtspMessage>();
  const std::size_t end = parsed.message_end;
  return std::optional<FramedRtspMessage>(FramedRtspMessage{take_message(parsed, buffer), end});
}

void RtspFramer::append(ByteSpan bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

Result<std::optional<RtspMessage>> RtspFramer::next() {
  if (!pending_) {
    if (buffer_.size() < kHeaderEnd.size()) return std::optional<RtspMessage>();
    const std::size_t blank = find_blank_line(buffer_, searched_);
    if (blank == std::string_view::npos) {
      if (buffer_.size() > kMaxRtspMessageBytes) return fail(limit_error("header"));
      // A blank line may begin in the last three bytes and end in bytes still to come.
      searched_ = buffer_.size() - (kHeaderEnd.size() - 1);
      return std::optional<RtspMessage>();
    }
    SV_ASSIGN_OR_RETURN(pending_, parse_header(buffer_, blank));
  }
  if (buffer_.size() < pending_->message_end) return std::optional<RtspMessage>();
  RtspMessage message = take_message(*pending_, buffer_);
  buffer_.erase(buffer_.begin(),
                buffer_.begin() + static_cast<std::ptrdiff_t>(pending_->message_end));
  pending_.reset();
  searched_ = 0;
  return std::optional<RtspMessage>(std::move(message));
}

bool is_rtsp_response(std::string_view start_line) {
  return start_line.size() >= 5 && start_line.starts_with("RTSP/");
}

std::string rtsp_method(std::string_view start_line) {
  const auto token = first_token(start_line);
  return token ? ascii_upper(*token) : std::string();
}

std::string rtsp_cseq(const RtspMessage& message) {
  const std::string* value = message.header("cseq");
  return value ? *value : std::string("0");
}

std::optional<std::string> parameter_value(std::string_view text, std::string_view name) {
  std::optional<std::string> found;
  for_each_line(text, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    if (!ascii_iequal(trim(line.substr(0, colon)), name)) return false;
    const std::string_view value = trim(line.substr(colon + 1));
    if (value.empty()) return false;
    found = std::string(value);
    return true;
  });
  return found;
}

std::optional<std::string_view> presentation_url_line(std::string_view text) {
  constexpr std::string_view kPrefix = "wfd_presentation_URL:";
  std::optional<std::string_view> found;
  for_each_line(text, [&](std::string_view line) {
    if (!line.starts_with(kPrefix)) return false;
    found = line.substr(kPrefix.size());
    return true;
  });
  return found;
}

std::optional<std::string_view> first_token(std::string_view text) {
  const bool utf8 = is_valid_utf8(text);
  std::size_t i = 0;
  std::size_t start = std::string_view::npos;
  while (i < text.size()) {
    std::size_t len = 1;
    const bool ws = utf8 ? white_space_at(text, i, &len)
                         : (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'));
    if (ws && start != std::string_view::npos) return text.substr(start, i - start);
    if (!ws && start == std::string_view::npos) start = i;
    i += len;
  }
  if (start == std::string_view::npos) return std::nullopt;
  return text.substr(start);
}

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) {
  auto parsed = parse_u64_decimal(text);
  if (!parsed) return std::nullopt;
  return *parsed;
}

}  // namespace sonvale
