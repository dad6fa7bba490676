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
#include "media/stream_keys.h"
#include "support/harness_args.h"
#include "support/media_records.h"

namespace {

using namespace sonvale;

int run(const std::vector<std::string>& args) {
  std::optional<StreamKeys> keys;
  std::optional<std::string> output_device;
  for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "--keys") {
      auto k = testing::stream_keys_from_arg(args[i + 1]);
      if (!k) {
        std::cerr << k.error().to_string() << "\n";
        return 2;
      }
      keys = *k;
    } else if (args[i] == "--output-device") {
      output_device = args[i + 1];
    } else {
      return 2;
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
      .keys = keys,
      .media = MediaConfig::resolve(output_device),
      .token = SessionToken(counter, 1),
      .shared = testing::session_shared(events),
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
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
