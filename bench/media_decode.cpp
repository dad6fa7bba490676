// Benchmark of the media reader's decoding road: '$'-framed RTP over a 60 s AAC-LC stream in
// MPEG-TS with encrypted PES starts, through RTP parsing, demultiplexing and decryption, ADTS
// framing, AAC decoding and the 44100 Hz s16le conversion, in this process on one core; side by
// side with `ffmpeg -i <the same .ts> -f s16le -ar 44100 -` in the same run. Prints both CPU
// times, their ratio, the real-time factor and the peak RSS of this process.
//
//   bench_media_decode [seconds]   (default 60; needs ffmpeg on PATH)

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crypto.h"
#include "media/stream/aac_player.h"
#include "media/format/rtp.h"
#include "media/format/ts_demuxer.h"

extern char** environ;

namespace {

using namespace sonvale;

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double peak_rss_mb(const rusage& u) { return static_cast<double>(u.ru_maxrss) / 1024.0; }

// Runs a command through /bin/sh; returns its user + system CPU seconds, or -1 on failure, and
// the peak RSS of the command in `rss_mb`.
double run_measured(const std::string& command, double* rss_mb) {
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  *rss_mb = peak_rss_mb(usage);
  const auto secs = [](timeval t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return secs(usage.ru_utime) + secs(usage.ru_stime);
}

Bytes read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put_pts(Bytes& out, std::uint64_t t) {
  out.push_back(static_cast<std::uint8_t>(0x21 | ((t >> 29) & 0x0E)));
  out.push_back(static_cast<std::uint8_t>(t >> 22));
  out.push_back(static_cast<std::uint8_t>(((t >> 14) & 0xFE) | 1));
  out.push_back(static_cast<std::uint8_t>(t >> 7));
  out.push_back(static_cast<std::uint8_t>(((t << 1) & 0xFE) | 1));
}

// Re-muxes the audio PES payloads of ffmpeg's transport stream with their starts encrypted (the
// IV renewed in the middle of the stream) and frames them as RTP packets of 7 TS packets.
Bytes encrypted_rtp_stream(const Bytes& ts, const StreamKeys& keys, std::size_t* pes_count) {
  TsDemuxer plain(std::nullopt);
  std::vector<AudioPes> payloads;
  for (std::size_t pos = 0; pos + 188 <= ts.size(); pos += 188) {
    for (auto& pes : plain.push_packet(ByteSpan(ts).subspan(pos, 188), 0))
      payloads.push_back(std::move(pes));
  }
  if (auto last = plain.finish_pes()) payloads.push_back(std::move(*last));
  *pes_count = payloads.size();

  std::vector<Bytes> packets;
  AesBlock iv = keys.aes_iv;
  const AesBlock renewed = {'r', 'e', 'n', 'e', 'w', 'e', 'd', '-',
                            'i', 'v', '-', '5', '4', '3', '2', '1'};
  std::uint8_t counter = 0;
  for (std::size_t n = 0; n < payloads.size(); ++n) {
    Bytes data(payloads[n].payload().begin(), payloads[n].payload().end());
    const bool renew = n == payloads.size() / 2;
    if (renew) iv = renewed;
    const std::size_t d = std::min<std::size_t>(data.size(), 256) / 16 * 16;
    if (d > 0) {
      auto enc = aes128_cbc_encrypt(keys.aes_key, iv, ByteSpan(data).first(d));
      std::copy(enc->begin(), enc->end(), data.begin());
    }
    Bytes header;
    put_pts(header, payloads[n].pts_us.value_or(0) * 9 / 100);
    std::uint8_t flags = 0x80;
    if (renew) {
      flags |= 0x01;
      header.push_back(0x80);
      header.insert(header.end(), renewed.begin(), renewed.end());
    }
    Bytes pes = {0, 0, 1, 0xC0, 0, 0, 0x80, flags, static_cast<std::uint8_t>(header.size())};
    pes.insert(pes.end(), header.begin(), header.end());
    pes.insert(pes.end(), data.begin(), data.end());
    const std::size_t len = pes.size() - 6;
    pes[4] = static_cast<std::uint8_t>(len >> 8);
    pes[5] = static_cast<std::uint8_t>(len);
    for (std::size_t pos = 0; pos < pes.size(); pos += 184) {
      const std::size_t take = std::min<std::size_t>(184, pes.size() - pos);
      Bytes p = {0x47, static_cast<std::uint8_t>((pos == 0 ? 0x40 : 0) | 0x11), 0x00, 0};
      if (take == 184) {
        p[3] = static_cast<std::uint8_t>(0x10 | (counter++ & 0x0F));
      } else {
        p[3] = static_cast<std::uint8_t>(0x30 | (counter++ & 0x0F));
        const std::size_t af = 183 - take;
        p.push_back(static_cast<std::uint8_t>(af));
        if (af > 0) p.push_back(0);
        if (af > 1) p.insert(p.end(), af - 1, 0xFF);
      }
      p.insert(p.end(), pes.begin() + static_cast<std::ptrdiff_t>(pos),
               pes.begin() + static_cast<std::ptrdiff_t>(pos + take));
      packets.push_back(std::move(p));
    }
  }
  Bytes stream;
  std::uint16_t seq = 0;
  for (std::size_t i = 0; i < packets.size(); i += 7, ++seq) {
    Bytes payload;
    for (std::size_t k = i; k < packets.size() && k < i + 7; ++k)
      payload.insert(payload.end(), packets[k].begin(), packets[k].end());
    const std::size_t length = 12 + payload.size();
    const std::uint32_t ts90 = static_cast<std::uint32_t>(i) * 1800u;
    const Bytes h = {0x24,
                     0,
                     static_cast<std::uint8_t>(length >> 8),
                     static_cast<std::uint8_t>(length),
                     0x80,
                     0x21,
                     static_cast<std::uint8_t>(seq >> 8),
                     static_cast<std::uint8_t>(seq),
                     static_cast<std::uint8_t>(ts90 >> 24),
                     static_cast<std::uint8_t>(ts90 >> 16),
                     static_cast<std::uint8_t>(ts90 >> 8),
                     static_cast<std::uint8_t>(ts90),
                     1,
                     2,
                     3,
                     4};
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), payload.begin(), payload.end());
  }
  return stream;
}

struct RunResult {
  double cpu_seconds = 0;
  std::uint64_t pcm_bytes = 0;
  std::uint64_t frames = 0;
  bool ok = false;
};

// A PCM stream that only counts its bytes; the native side is never chosen.
class CountingOutputs final : public ReaderOutputs {
 public:
  explicit CountingOutputs(std::uint64_t& bytes) : bytes_(bytes) {}
  ChunkSender open_stream(const SocketAddr&, EventSink) override {
    return {.send =
                [this](Bytes chunk) {
                  bytes_ += chunk.size();
                  return chunk;  // the buffer serves the next chunk, as the streamer's would
                },
            .flush = {}};
  }
  Result<NativeOutput> open_native(const NativeOutputChoice&, const SessionShared&) override {
    return fail(Error::msg("no native output in the benchmark"));
  }
  void push_native(NativeOutput&, ZeDidiLatencyTelemetry&, std::span<const float>,
                   std::optional<double>) override {}

 private:
  std::uint64_t& bytes_;
};

// The reader's per-frame work on an in-memory stream.
RunResult run_pipeline(const Bytes& stream, const StreamKeys& keys) {
  RunResult r;
  std::uint64_t pcm_bytes = 0;
  CountingOutputs outputs(pcm_bytes);
  auto telemetry = ZeDidiLatencyTelemetry::create();
  const double start = process_cpu_seconds();
  const auto media = MediaConfig::resolve("stream:9", nullptr, system_clock());
  const SessionShared shared{
      .gate = PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), system_clock()),
      .telemetry = telemetry};
  auto player = AacPlayer::create(outputs, *media, shared);
  if (!player) return r;
  TsDemuxer demuxer(keys);
  Bytes frame;
  ByteSpan rest(stream);
  while (rest.size() >= kFrameHeaderBytes) {
    auto length = parse_frame_header(rest.first(kFrameHeaderBytes));
    if (!length || rest.size() < kFrameHeaderBytes + *length) return r;
    const auto body = rest.subspan(kFrameHeaderBytes, *length);
    frame.assign(body.begin(), body.end());  // the reader reads the connection into a buffer
    rest = rest.subspan(kFrameHeaderBytes + *length);
    auto packet = parse_rtp_packet(frame);
    if (!packet) return r;
    telemetry->observe_packet(packet->sequence, packet->timestamp, std::chrono::steady_clock::now(),
                              *length);
    const std::uint64_t fallback = rtp_fallback_pts_us(packet->timestamp);
    for (std::size_t k = 0; k + 188 <= packet->payload.size(); k += 188) {
      for (auto& pes : demuxer.push_packet(packet->payload.subspan(k, 188), fallback)) {
        if (!player->push_pes(std::move(pes))) return r;
      }
    }
  }
  r.cpu_seconds = process_cpu_seconds() - start;
  r.pcm_bytes = pcm_bytes;
  r.frames = player->decoded_frames();
  r.ok = true;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  rusage at_start{};
  getrusage(RUSAGE_SELF, &at_start);
  const auto dir =
      std::filesystem::temp_directory_path() / ("sonvale-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto aac = dir / "tone.aac";
  const auto ts = dir / "tone.ts";
  const std::string make =
      "ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=1000:sample_rate=48000:duration=" +
      std::to_string(seconds) + "' -ac 2 -ar 48000 -c:a aac -b:a 128k -f adts '" + aac.string() +
      "' && ffmpeg -nostdin -v error -y -i '" + aac.string() +
      "' -c:a copy -f mpegts -mpegts_start_pid 0x1100 '" + ts.string() + "'";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "could not make the test stream with ffmpeg\n");
    return 1;
  }
  const auto keys =
      *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "0123456789abcdef", "fedcba9876543210");
  std::size_t pes_count = 0;
  const Bytes stream = encrypted_rtp_stream(read_file(ts), keys, &pes_count);

  RunResult best;
  for (int i = 0; i < 3; ++i) {
    const RunResult r = run_pipeline(stream, keys);
    if (!r.ok) {
      std::fprintf(stderr, "the pipeline failed on the stream\n");
      return 1;
    }
    if (i == 0 || r.cpu_seconds < best.cpu_seconds) best = r;
  }
  rusage self{};
  getrusage(RUSAGE_SELF, &self);

  double ffmpeg_cpu = -1;
  double ffmpeg_rss_mb = 0;
  for (int i = 0; i < 3; ++i) {
    const double t = run_measured(
        "ffmpeg -nostdin -v error -i '" + ts.string() + "' -f s16le -ar 44100 - > /dev/null",
        &ffmpeg_rss_mb);
    if (t < 0) {
      std::fprintf(stderr, "ffmpeg failed on the stream\n");
      return 1;
    }
    if (ffmpeg_cpu < 0 || t < ffmpeg_cpu) ffmpeg_cpu = t;
  }
  std::filesystem::remove_all(dir);

  std::printf("stream: %d s, %zu PES, %llu AAC frames, %zu bytes of RTP, %llu bytes of PCM out\n",
              seconds, pes_count, static_cast<unsigned long long>(best.frames), stream.size(),
              static_cast<unsigned long long>(best.pcm_bytes));
  std::printf("sonvale decode path CPU: %.4f s (best of 3)\n", best.cpu_seconds);
  std::printf("ffmpeg CLI CPU:          %.4f s (best of 3)\n", ffmpeg_cpu);
  std::printf("ratio sonvale/ffmpeg:    %.3f (target <= 0.8)\n", best.cpu_seconds / ffmpeg_cpu);
  std::printf("real-time factor:        %.0fx (target >= 300x)\n", seconds / best.cpu_seconds);
  std::printf(
      "peak RSS:                %.1f MB (target < 30 MB; %.1f MB before the stream was made)\n",
      peak_rss_mb(self), peak_rss_mb(at_start));
  std::printf("ffmpeg CLI peak RSS:     %.1f MB (the sh wrapper's or ffmpeg's, the larger)\n",
              ffmpeg_rss_mb);
  return 0;
}
