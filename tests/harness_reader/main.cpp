// Test harness: listens on 127.0.0.1 (ephemeral port), accepts one connection, runs the media
// reader on it exactly as the receiver would, and prints every event as one JSON line.
//
//   harness_reader [--keys AUTH_KEY,AES_KEY,AES_IV] [--output-device TEXT]
//
// Lines it prints besides the reader's own events:
//   {"event":"harness_listening","port":N}           once the listener is ready
//   {"event":"harness_reader_result","ok":B,"error":TEXT|null,"remote_closed":{...}|null}
// After the result it waits for its standard input to end (so that the PCM streamer can write
// what is queued), then exits 0.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "core/event_sink.h"
#include "media/media_error.h"
#include "core/net.h"
#include "media/stream/reader_loop.h"
#include "media/format/stream_keys.h"
#include "support/harness_args.h"
#include "support/media_records.h"

namespace {

using namespace sonvale;

int run(testing::HarnessArgs args) {
  std::optional<StreamKeys> keys;
  std::optional<std::string> output_device;
  while (args.next()) {
    if (args.flag() == "--keys") {
      keys = args.keys();
    } else if (args.flag() == "--output-device") {
      output_device = args.text();
    } else {
      args.unknown();
    }
  }
  auto listener = tcp_listen(SocketAddrV4{Ipv4::loopback(), 0}, 1, false);
  if (!listener) return 3;
  auto local = local_address(listener->get());
  if (!local) return 3;
  const EventSink events = stdout_event_sink();
  events(Json{{"event", "harness_listening"}, {"port", local->port}});
  auto accepted = accept_connection(listener->get());
  if (!accepted) return 3;

  auto counter = std::make_shared<std::atomic<std::uint64_t>>(1);
  auto result = run_media_reader(MediaReaderInputs{
      .audio = std::move(accepted->fd),
      .session = {.params = {.rtsp_ip = {},.rtsp_port = 0,.keys = keys,
                             .media = MediaConfig::resolve(output_device, system_clock()),
                             .token = SessionToken(counter, 1)},
                  .shared = testing::session_shared(events, system_clock())},
  });
  Json report = {{"event", "harness_reader_result"},
                 {"ok", result.has_value()},
                 {"error", nullptr},
                 {"remote_closed", nullptr}};
  if (!result) {
    report["error"] = result.error().to_string();
    if (const auto* d = remote_closed_details(result.error())) {
      report["remote_closed"] = Json{{"channel", d->channel},
                                     {"bytes_read", d->bytes_read},
                                     {"bytes_expected", d->bytes_expected}};
    }
  }
  events(report);
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  return run(testing::HarnessArgs("harness_reader", argc, argv));
}
