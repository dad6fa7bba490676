// Runs one media session whose native output plays on the paced fake audio host, in real time,
// for black-box playout tests.
//
//   paced_playout_harness --port P --out PREFIX [--ip A] [--keys AUTH,AES,IV] [--generation G]
//                         [--latency-us US] [--buffer-frames N]
//
// The fake device (stereo f32, N frames per callback, default 512) reports every buffer's first
// frame as played US microseconds (default 20000) after the callback. Every event of the session
// is printed as a JSON line. On stdin "dump", at the end of stdin, or when the session ends, the
// harness writes what the device rendered:
//   PREFIX.f32   the rendered samples, interleaved stereo float32 little-endian
//   PREFIX.json  {"channels", "buffer_frames", "callbacks": [[playback_ns, queued_frames], ...]}
// where playback_ns is the CLOCK_MONOTONIC instant at which callback k's first frame plays (the
// device's own schedule, however late the call came) and queued_frames is the session
// telemetry's queued frame count as the callback began (the depth the callback found, unless the
// media reader pushed in between). It then prints
// {"event": "harness_dumped", "callbacks": n} (also after "dump", which leaves the session running).
// "quit" ends the process.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/event_sink.h"
#include "core/net.h"
#include "core/thread.h"
#include "media/media_session.h"
#include "media/format/stream_keys.h"
#include "support/fake_audio_host.h"
#include "support/harness_args.h"

using namespace sonvale;

namespace {

struct Options : testing::SessionTarget {
  std::int64_t latency_us = 20000;
  std::uint32_t buffer_frames = 512;
  std::string out;
};

[[noreturn]] void usage(const std::string& why) {
  std::cerr << "paced_playout_harness: " << why << "\n";
  std::_Exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  testing::HarnessArgs args("paced_playout_harness", argc, argv);
  while (args.next()) {
    const std::string& arg = args.flag();
    if (args.session_flag(o)) {
      continue;
    } else if (arg == "--latency-us") {
      o.latency_us = args.signed_number();
    } else if (arg == "--buffer-frames") {
      o.buffer_frames = static_cast<std::uint32_t>(args.number());
    } else if (arg == "--out") {
      o.out = args.text();
    } else {
      args.unknown();
    }
  }
  args.require_port(o);
  if (o.out.empty()) args.usage("--out is required");
  if (o.buffer_frames == 0) args.usage("--buffer-frames must be positive");
  return o;
}

// What the device thread notes before each callback: the queue depth it is about to find.
struct CallbackLog {
  std::mutex mu;
  std::vector<std::uint64_t> queued;
};

// Writes the recording; callbacks whose samples are not recorded yet are left out.
std::size_t dump(const Options& o, const testing::PacedAudioHost& host, CallbackLog& log) {
  std::vector<float> samples;
  std::vector<audio::OutputTimestamp> timestamps;
  {
    std::lock_guard lock(host.recording()->mu);
    samples = host.recording()->samples;
    timestamps = host.recording()->timestamps;
  }
  std::vector<std::uint64_t> queued;
  {
    std::lock_guard lock(log.mu);
    queued = log.queued;
  }
  const std::size_t per_callback = std::size_t{o.buffer_frames} * 2;
  const std::size_t n = std::min(queued.size(), timestamps.size());
  samples.resize(n * per_callback);
  std::ofstream raw(o.out + ".f32", std::ios::binary | std::ios::trunc);
  raw.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(float)));
  Json summary{{"channels", 2}, {"buffer_frames", o.buffer_frames}, {"callbacks", Json::array()}};
  for (std::size_t k = 0; k < n; ++k) {
    summary["callbacks"].push_back(Json::array({timestamps[k].playback.count(), queued[k]}));
  }
  std::ofstream(o.out + ".json", std::ios::trunc) << summary.dump();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const EventSink events = stdout_event_sink();
  const auto telemetry = ZeDidiLatencyTelemetry::create();
  auto log = std::make_shared<CallbackLog>();

  testing::PacedAudioHost::Options paced;
  paced.channels = 2;
  paced.format = audio::SampleFormat::kF32;
  paced.buffer_frames = o.buffer_frames;
  paced.output_latency = std::chrono::microseconds(o.latency_us);
  paced.simulated_time = false;
  paced.before_callback = [log, telemetry](std::chrono::nanoseconds) {
    const std::uint64_t queued = telemetry->queued_frames.load(std::memory_order_acquire);
    std::lock_guard lock(log->mu);
    log->queued.push_back(queued);
  };
  auto host = std::make_shared<testing::PacedAudioHost>(paced);
  // The native output plays on the paced host.
  const auto media = MediaConfig::resolve(std::nullopt, host, system_clock());

  const auto counter = std::make_shared<std::atomic<std::uint64_t>>(o.generation);
  const auto volume = std::make_shared<std::atomic<std::uint32_t>>(100);
  const auto suspended = std::make_shared<std::atomic<bool>>(false);
  PlaybackGate gate = PlaybackGate::with_output_suspension(suspended, system_clock());

  std::mutex dump_mu;
  auto dump_and_report = [&] {
    std::lock_guard lock(dump_mu);
    const std::size_t n = dump(o, *host, *log);
    print_event_line(Json{{"event", "harness_dumped"}, {"callbacks", n}});
  };

  // The session as spawn_rtsp_receiver runs it, with the telemetry record kept here so that the
  // device thread can read the queue depth; when it ends, the recording is written.
  RtspLaunch launch{
      .params = {.rtsp_ip = o.ip,
                 .rtsp_port = o.port,
                 .keys = o.keys,
                 .media = media,
                 .token = SessionToken(counter, o.generation)},
      .gate = gate,
      .receiver_volume = volume,
      .events = events,
  };
  auto session =
      spawn_named("sonvale-rtsp", [launch = std::move(launch), telemetry, &dump_and_report]() mutable {
        rtsp_session_main(std::move(launch), telemetry);
        dump_and_report();
      });
  if (!session) usage(session.error().to_string());
  session->detach();

  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "dump") {
      dump_and_report();
    } else if (line == "quit") {
      break;
    } else if (!line.empty()) {
      print_event_line(Json{{"event", "harness_error"}, {"command", line}});
    }
  }
  if (line != "quit") dump_and_report();
  std::fflush(stdout);
  // The session and device threads may still run: end without static destructors.
  std::_Exit(0);
}
