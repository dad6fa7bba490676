// Drives media sessions as the control protocol's Open command would, for black-box tests.
//
//   rtsp_session_harness --port P [--ip A] [--keys AUTH,AES,IV] [--output-device TEXT]
//                        [--generation G] [--counter C] [--telemetry]
//
// Starts one session of generation G (default 1) towards A:P with the counter at C (default G)
// and prints every event as a JSON line. With --telemetry the sessions share a latency telemetry
// record that stdin commands fill. Commands on stdin, one per line:
//   pause | resume            what the control hub does to the session's playback gate
//   gate                      prints {"event":"harness_gate","blocked":..,"remote_paused":..}
//   advance-generation        advances the counter (a newer Open command or a shutdown)
//   spawn [PORT]              advances the counter and starts a session of the new generation
//   rtp SEQ TS LEN            records an RTP packet in the telemetry
//   queued N | output-latency US   stores the telemetry's atomic counters
//   telemetry                 prints the telemetry snapshot as "harness_telemetry"
//   quit                      ends the process (so does the end of stdin)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "core/event_sink.h"
#include "core/net.h"
#include "core/thread.h"
#include "media/media_session.h"
#include "media/format/stream_keys.h"
#include "support/harness_args.h"

using namespace sonvale;

namespace {

struct Options : testing::SessionTarget {
  std::optional<std::string> output_device;
  std::optional<std::uint64_t> counter;
  bool telemetry = false;
};

Options parse(int argc, char** argv) {
  Options o;
  testing::HarnessArgs args("rtsp_session_harness", argc, argv);
  while (args.next()) {
    const std::string& arg = args.flag();
    if (args.session_flag(o)) {
      continue;
    } else if (arg == "--output-device") {
      o.output_device = args.text();
    } else if (arg == "--counter") {
      o.counter = args.number();
    } else if (arg == "--telemetry") {
      o.telemetry = true;
    } else {
      args.unknown();
    }
  }
  args.require_port(o);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const EventSink events = stdout_event_sink();
  const auto counter =
      std::make_shared<std::atomic<std::uint64_t>>(o.counter.value_or(o.generation));
  const auto volume = std::make_shared<std::atomic<std::uint32_t>>(100);
  const auto suspended = std::make_shared<std::atomic<bool>>(false);
  const auto telemetry = o.telemetry ? ZeDidiLatencyTelemetry::create() : nullptr;
  PlaybackGate gate = PlaybackGate::with_output_suspension(suspended, system_clock());

  const auto media = MediaConfig::resolve(o.output_device, system_clock());

  auto start = [&](std::uint16_t port, std::uint64_t generation) {
    RtspLaunch launch{
        .params = {.rtsp_ip = o.ip,
                   .rtsp_port = port,
                   .keys = o.keys,
                   .media = media,
                   .token = SessionToken(counter, generation)},
        .gate = gate,
        .receiver_volume = volume,
        .events = events,
    };
    if (!telemetry) {
      spawn_rtsp_receiver(std::move(launch));
      return;
    }
    auto thread = spawn_named("sonvale-rtsp", [launch = std::move(launch), telemetry]() mutable {
      rtsp_session_main(std::move(launch), telemetry);
    });
    if (thread) thread->detach();
  };
  auto report_generation = [&] {
    print_event_line(Json{{"event", "harness_generation"},
                          {"media_generation", counter->load(std::memory_order_acquire)}});
  };

  start(o.port, o.generation);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "pause" || cmd == "resume") {
      gate.set_paused(cmd == "pause");
      print_event_line(Json{{"event", "harness_ok"}, {"command", cmd}});
    } else if (cmd == "gate") {
      print_event_line(Json{{"event", "harness_gate"},
                            {"blocked", gate.blocked()},
                            {"remote_paused", gate.remote_paused()}});
    } else if (cmd == "advance-generation") {
      counter->fetch_add(1, std::memory_order_acq_rel);
      report_generation();
    } else if (cmd == "spawn") {
      unsigned port = o.port;
      in >> port;
      // Like the Open command: a new gate for the newly activated source.
      gate = PlaybackGate::with_output_suspension(suspended, system_clock());
      const std::uint64_t g = counter->fetch_add(1, std::memory_order_acq_rel) + 1;
      start(static_cast<std::uint16_t>(port), g);
      report_generation();
    } else if (telemetry && cmd == "rtp") {
      unsigned seq = 0, ts = 0, len = 0;
      in >> seq >> ts >> len;
      telemetry->observe_packet(static_cast<std::uint16_t>(seq), ts,
                                std::chrono::steady_clock::now(), len);
      print_event_line(Json{{"event", "harness_ok"}, {"command", cmd}});
    } else if (telemetry && (cmd == "queued" || cmd == "output-latency")) {
      std::uint64_t v = 0;
      in >> v;
      (cmd == "queued" ? telemetry->queued_frames : telemetry->output_latency_us)
          .store(v, std::memory_order_release);
      print_event_line(Json{{"event", "harness_ok"}, {"command", cmd}});
    } else if (telemetry && cmd == "telemetry") {
      const auto snap = telemetry->snapshot();
      Json j{{"event", "harness_telemetry"}, {"has_packet", snap.has_value()}};
      if (snap) {
        j["highest_sequence"] = snap->highest_sequence;
        j["bitrate_bps"] = snap->bitrate_bps;
        j["queued_frames"] = snap->queued_frames;
        j["output_latency_us"] = snap->output_latency_us;
      }
      print_event_line(j);
    } else if (cmd == "quit") {
      break;
    } else if (!cmd.empty()) {
      print_event_line(Json{{"event", "harness_error"}, {"command", cmd}});
    }
  }
  std::fflush(stdout);
  // Session threads are detached and may still run: end without static destructors.
  std::_Exit(0);
}
