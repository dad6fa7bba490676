#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "media/stream/aac_player.h"

namespace sonvale::testing {

// ReaderOutputs that record what they are given: the stream's target and chunks, the native
// device chosen and the frames pushed to it. A native output opens (as an empty NativeOutput)
// unless `native_error` is set. With `record_flushes` set before the stream opens, the stream
// has a flush, and each call records how many chunks had come by then. The stream's sender may
// run on another thread than the test: read `chunks` and `flushes` under `mu`.
class FakeReaderOutputs final : public ReaderOutputs {
 public:
  ChunkSender open_stream(const SocketAddr& target, EventSink) override {
    stream_target = target.to_string();
    return {.send =
                [this](Bytes chunk) {
                  std::lock_guard lock(mu);
                  chunks.push_back(std::move(chunk));
                  return Bytes();
                },
            .flush = record_flushes ? std::function<void()>([this] {
              std::lock_guard lock(mu);
              flushes.push_back(chunks.size());
            })
                                    : std::function<void()>()};
  }

  Result<NativeOutput> open_native(const NativeOutputChoice& choice,
                                   const SessionShared&) override {
    native_device = choice.device;
    if (native_error) return fail(Error::msg(*native_error));
    return NativeOutput{};
  }

  void push_native(NativeOutput&, ZeDidiLatencyTelemetry&, std::span<const float> pcm,
                   std::optional<double> pts_us) override {
    native_frames.emplace_back(pcm.begin(), pcm.end());
    native_pts.push_back(pts_us);
  }

  std::mutex mu;
  std::optional<std::string> stream_target;
  std::vector<Bytes> chunks;
  bool record_flushes = false;
  std::vector<std::size_t> flushes;
  std::optional<std::string> native_device;
  std::optional<std::string> native_error;
  std::vector<std::vector<float>> native_frames;
  std::vector<std::optional<double>> native_pts;
};

}  // namespace sonvale::testing
