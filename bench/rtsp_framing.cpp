// Cost of reassembling one RTSP message from the pieces a source sends, as the session's framer
// does it. The hostile shape: a header of many short lines that arrives line by line, then its
// body in 10-byte pieces. The cost must grow with the bytes, not with bytes times pieces.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "media/rtsp/rtsp_message.h"

namespace sonvale {
namespace {

// The pieces of one GET_PARAMETER with `lines` header lines and a body of `body` bytes.
std::vector<std::string> hostile_pieces(std::size_t lines, std::size_t body) {
  std::vector<std::string> pieces{"GET_PARAMETER rtsp://localhost/wfd1.0 RTSP/1.0\r\n",
                                  "Content-Length: " + std::to_string(body) + "\r\n"};
  for (std::size_t i = 0; i < lines; ++i) pieces.push_back("P" + std::to_string(i) + ":ab\r\n");
  pieces.emplace_back("\r\n");
  for (std::size_t i = 0; i < body; i += 10)
    pieces.emplace_back(std::min<std::size_t>(10, body - i), 'x');
  return pieces;
}

void BM_FrameHostileMessage(benchmark::State& state) {
  const auto pieces = hostile_pieces(static_cast<std::size_t>(state.range(0)),
                                     static_cast<std::size_t>(state.range(1)));
  std::size_t bytes = 0;
  for (const auto& p : pieces) bytes += p.size();
  for (auto _ : state) {
    RtspFramer framer;
    std::size_t framed = 0;
    for (const auto& piece : pieces) {
      framer.append(as_bytes(piece));
      auto r = framer.next();
      if (r && *r) ++framed;
    }
    if (framed != 1) state.SkipWithError("the message was not framed once");
    benchmark::DoNotOptimize(framed);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["pieces"] = static_cast<double>(pieces.size());
}

// Arguments: header lines, body bytes. 40000 lines make a header of about 440 KB.
BENCHMARK(BM_FrameHostileMessage)
    ->Args({1000, 6000})
    ->Args({10000, 6000})
    ->Args({40000, 6000})
    ->Args({40000, 60000})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace sonvale

BENCHMARK_MAIN();
