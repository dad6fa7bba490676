// Feeds arbitrary bytes to the session's RTSP framer as a stream arriving in pieces, and every
// framed message to the text helpers the session applies to it. Framing a stream piecewise must
// give the same messages, and the same failure after them, as framing it whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/net.h"
#include "media/rtsp/rtsp_message.h"
#include "media/rtsp/wfd_sink.h"

using namespace sonvale;

namespace {

void use_message(const RtspMessage& m) {
  (void)is_rtsp_response(m.start_line);
  (void)rtsp_method(m.start_line);
  (void)rtsp_cseq(m);
  const std::string body = m.body_text();
  (void)parameter_value(body, "wfd_timeoffset");
  if (auto v = parameter_value(body, "wfd_timer_server_port")) {
    (void)wfd_timer_server(*v, Ipv4::loopback());
  }
  if (auto rest = presentation_url_line(body)) (void)first_token(*rest);
  for (const auto& [name, value] : m.headers) {
    (void)parse_signed_decimal(value);
    (void)wfd_timer_server(value, Ipv4::loopback());
    (void)first_token(value);
  }
}

// Frames everything in `stream` with the session's framer, appending `step` bytes at a time.
std::vector<RtspMessage> frame_pieces(ByteSpan stream, std::size_t step, bool* failed) {
  std::vector<RtspMessage> out;
  RtspFramer framer;
  *failed = false;
  for (std::size_t fed = 0; fed < stream.size();) {
    const std::size_t n = std::min(step, stream.size() - fed);
    framer.append(stream.subspan(fed, n));
    fed += n;
    for (;;) {
      auto r = framer.next();
      if (!r) {
        *failed = true;
        return out;
      }
      if (!*r) break;
      out.push_back(std::move(**r));
    }
    if (framer.buffered() > kMaxRtspMessageBytes + step) __builtin_trap();
  }
  return out;
}

// Frames the whole stream at once with frame_rtsp_message, the framer's oracle.
std::vector<RtspMessage> frame_whole(ByteSpan stream, bool* failed) {
  std::vector<RtspMessage> out;
  *failed = false;
  for (std::size_t from = 0; from < stream.size();) {
    auto r = frame_rtsp_message(stream.subspan(from));
    if (!r) {
      *failed = true;
      return out;
    }
    if (!*r) break;
    const std::size_t consumed = (*r)->consumed;
    if (consumed == 0 || consumed > stream.size() - from || consumed > kMaxRtspMessageBytes) {
      __builtin_trap();
    }
    out.push_back(std::move((*r)->message));
    from += consumed;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = std::size_t{data[0]} + 1;
  const ByteSpan stream(data + 1, size - 1);
  bool failed_piecewise = false;
  bool failed_whole = false;
  const auto piecewise = frame_pieces(stream, step, &failed_piecewise);
  const auto whole = frame_whole(stream, &failed_whole);
  // The same messages, and the same failure after them, however the bytes arrive.
  if (failed_piecewise != failed_whole || piecewise.size() != whole.size()) __builtin_trap();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (piecewise[i].start_line != whole[i].start_line || piecewise[i].body != whole[i].body ||
        piecewise[i].headers != whole[i].headers) {
      __builtin_trap();
    }
  }
  for (const auto& m : piecewise) use_message(m);
  return 0;
}
