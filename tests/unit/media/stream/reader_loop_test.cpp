#include "media/stream/reader_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <future>
#include <thread>

#include "media/media_error.h"
#include "unit/media/aac_media_util.h"
#include "core/net.h"
#include "unit/media/rtp_test_util.h"
#include "support/fake_reader_outputs.h"
#include "support/media_records.h"
#include "support/recording_sink.h"
#include "unit/media/ts_test_util.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using testing::rtp_frame;

// One reader run on one end of a stream socket pair; the test writes the phone's side.
class ReaderLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = testing::socket_pair();
    reader_end_ = std::move(pair.ours);
    phone_ = std::move(pair.theirs);
    outputs_.native_error = "no native audio output device";
  }

  void start(std::optional<StreamKeys> keys = std::nullopt,
             std::optional<std::string> device = "stream:9") {
    result_ =
        std::async(std::launch::async, [this, keys, device, fd = std::move(reader_end_)]() mutable {
          return run_media_reader_with(
              outputs_,
              MediaReaderInputs{
                  .audio = std::move(fd),
                  .session = {.params = {.rtsp_ip = {},.rtsp_port = 0,.keys = keys,
                                         .media = testing::media_config(device, system_clock()),
                                         .token = SessionToken(counter_, 7)},
                              .shared = testing::session_shared(sink_.sink(), system_clock(), telemetry_)}});
        });
  }

  // A reader that has failed closes its end; later writes may fail and do not matter.
  void send(const Bytes& bytes) { (void)write_all(phone_.get(), bytes); }

  // Closes the phone's side and returns how the reader ended.
  Result<> finish() {
    phone_.reset();
    EXPECT_EQ(result_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return result_.get();
  }

  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry_ = ZeDidiLatencyTelemetry::create();
  std::shared_ptr<std::atomic<std::uint64_t>> counter_ =
      std::make_shared<std::atomic<std::uint64_t>>(7);
  testing::RecordingSink sink_;
  testing::FakeReaderOutputs outputs_;
  Fd reader_end_;
  Fd phone_;
  std::future<Result<>> result_;
  std::mutex& mu_ = outputs_.mu;
  std::vector<Bytes>& chunks_ = outputs_.chunks;
};

struct EndCase {
  std::string name;
  Bytes bytes;  // what the phone sends before closing
  std::string message;
  std::optional<RemoteChannelClosed> closed;
  std::size_t observed_packets;
};

class ReaderEndTest : public ReaderLoopTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(ReaderEndTest, EndsWithTheFramingFailure) {
  const auto& c = GetParam();
  start();
  send(c.bytes);
  auto r = finish();
  ASSERT_FALSE(r);
  if (c.closed) {
    const auto* d = remote_closed_details(r.error());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->channel, c.closed->channel);
    EXPECT_EQ(d->bytes_read, c.closed->bytes_read);
    EXPECT_EQ(d->bytes_expected, c.closed->bytes_expected);
  } else {
    EXPECT_EQ(r.error().to_string(), c.message);
    EXPECT_EQ(remote_closed_details(r.error()), nullptr);
  }
  const auto state = telemetry_->rtp_state();
  EXPECT_EQ(state.byte_window.size(), c.observed_packets);
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kGoodFrame = rtp_frame(1, 90, {});

INSTANTIATE_TEST_SUITE_P(
    Streams, ReaderEndTest,
    ::testing::Values(
        EndCase{
            "CloseAfterTwoHeaderBytes", {0x24, 0x00}, "", RemoteChannelClosed{"audio", 2, 4}, 0},
        EndCase{"CloseBetweenFrames", kGoodFrame, "", RemoteChannelClosed{"audio", 0, 4}, 1},
        EndCase{"CloseInsideABody",
                {0x24, 0x00, 0x00, 0x20, 0x80, 0, 0},
                "",
                RemoteChannelClosed{"audio", 3, 32},
                0},
        EndCase{"WrongMarker", cat({kGoodFrame, {0x0a, 0, 0, 12}}),
                "unexpected ZeDidi data marker 0x0a", std::nullopt, 1},
        EndCase{"LengthEleven",
                {0x24, 0, 0, 11, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                "invalid ZeDidi RTP frame length 11",
                std::nullopt,
                0},
        EndCase{"RtpVersionOne",
                cat({kGoodFrame,
                     [] {
                       auto f = rtp_frame(2, 180, {});
                       f[4] = 0x40;
                       return f;
                     }()}),
                "parse ZeDidi RTP packet", std::nullopt, 1}),
    [](const auto& p) { return p.param.name; });

TEST_F(ReaderLoopTest, GenerationChangeEndsTheReaderQuietly) {
  start();
  send(kGoodFrame);
  // Once the frame is observed the reader is waiting in its next read.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (telemetry_->rtp_state().byte_window.empty() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(telemetry_->rtp_state().byte_window.size(), 1u);
  const auto before = std::chrono::steady_clock::now();
  counter_->store(8, std::memory_order_release);
  ASSERT_EQ(result_.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
  EXPECT_TRUE(result_.get());
}

TEST_F(ReaderLoopTest, ObservesEveryParsedPacketWithItsFrameLength) {
  start();
  const Bytes ts(188, 0xFF);  // not a transport stream packet: skipped
  send(cat({rtp_frame(65535, 4294967040u, {}, 1), rtp_frame(0, 256, Bytes(187, 0), 2),
            rtp_frame(1, 512, Bytes(200, 0x47)), rtp_frame(2, 768, cat({ts, ts}))}));
  auto r = finish();
  ASSERT_FALSE(r);
  const auto state = telemetry_->rtp_state();
  EXPECT_EQ(state.highest_sequence, 65538u);
  EXPECT_EQ(state.last_timestamp, 4294967296ull + 768);
  ASSERT_EQ(state.byte_window.size(), 4u);
  const std::uint64_t lengths[] = {12, 199, 212, 388};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(state.byte_window[i].second, lengths[i]) << i;
}

TEST_F(ReaderLoopTest, EachWholeTransportStreamPieceIsDemultiplexed) {
  start();
  // A broken piece, then a PES of 3 payload bytes, then 12 bytes short of a third piece.
  const Bytes broken(188, 0x00);
  const Bytes pes = testing::make_ts_packet(0x1100, true, testing::make_pes(Bytes{1, 2, 3}));
  send(rtp_frame(9, 90000, cat({broken, pes, Bytes(176, 0x47)})));
  auto r = finish();
  EXPECT_NE(remote_closed_details(r.error()), nullptr);
  // A first payload too short for an ADTS header: the format is unknown, and the reader goes on.
  const auto format = sink_.named("audio_format");
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0]["sample_rate"], 0);
  EXPECT_EQ(format[0]["bitrate"], 0);
  const auto layout = sink_.named("aac_pes_layout");
  ASSERT_EQ(layout.size(), 1u);
  EXPECT_EQ(layout[0]["pes_payload_bytes"], 3);
  EXPECT_EQ(layout[0]["frames_in_pes"], 0);
  EXPECT_EQ(layout[0]["buffered_adts_bytes"], 0);
}

TEST_F(ReaderLoopTest, NativeOutputFailureEndsTheReaderBeforeReading) {
  start(std::nullopt, std::nullopt);
  auto r = finish();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "no native audio output device");
}

// A stream of real AAC frames, one PES per `frames_per_pes` frames, in RTP packets of up to
// seven transport stream packets.
std::vector<Bytes> rtp_stream(const std::vector<Bytes>& frames, std::size_t frames_per_pes,
                              std::uint8_t sampling_patch = 0xFF) {
  std::vector<Bytes> ts_packets;
  for (std::size_t i = 0; i < frames.size(); i += frames_per_pes) {
    Bytes payload = testing::join(frames, i, i + frames_per_pes);
    if (sampling_patch != 0xFF)
      payload[2] = static_cast<std::uint8_t>((payload[2] & 0xC3) | (sampling_patch << 2));
    const auto pes = testing::make_pes(payload, {.pts = 90000 + 1920 * i});
    for (auto& p : testing::packetize(0x1100, pes)) ts_packets.push_back(std::move(p));
  }
  std::vector<Bytes> out;
  for (std::size_t i = 0; i < ts_packets.size(); i += 7) {
    Bytes payload;
    for (std::size_t k = i; k < ts_packets.size() && k < i + 7; ++k) {
      payload.insert(payload.end(), ts_packets[k].begin(), ts_packets[k].end());
    }
    out.push_back(rtp_frame(static_cast<std::uint16_t>(out.size()),
                            static_cast<std::uint32_t>(i * 90), payload));
  }
  return out;
}

TEST_F(ReaderLoopTest, DecodesARealStreamToTheFirstPesEvents) {
  const auto frames = testing::split_adts(testing::ffmpeg_adts(testing::kToneArgs));
  ASSERT_GE(frames.size(), 40u);
  start();
  for (const auto& f : rtp_stream(frames, 3)) send(f);
  auto r = finish();
  ASSERT_FALSE(r);
  EXPECT_NE(remote_closed_details(r.error()), nullptr);
  EXPECT_EQ(chunks_.size(), frames.size() / 3 * 3);
  const auto format = sink_.named("audio_format");
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0], (Json{{"event", "audio_format"},
                             {"codec", "AAC-LC"},
                             {"sample_rate", 48000},
                             {"required_sample_rate", 48000},
                             {"channels", 2},
                             {"bits_per_sample", 16},
                             {"bitrate", frames[0].size() * 48000 / 128},
                             {"encrypted", false},
                             {"transport", "RTP/MP2T/TCP"}}));
  const auto events = sink_.events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0]["event"], "audio_format");  // before any frame of the first PES
  EXPECT_EQ(events[1]["event"], "audio_pcm_decoded");
  const auto layout = sink_.named("aac_pes_layout");
  ASSERT_EQ(layout.size(), 1u);
  EXPECT_EQ(layout[0]["frames_in_pes"], 3);
}

TEST_F(ReaderLoopTest, A44kStreamEndsTheReader) {
  const auto frames = testing::split_adts(testing::ffmpeg_adts(
      "-f lavfi -i sine=frequency=1000:sample_rate=44100:duration=0.3 -ac 2 -ar 44100"));
  ASSERT_FALSE(frames.empty());
  start();
  for (const auto& f : rtp_stream(frames, 2)) send(f);
  ASSERT_EQ(result_.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto r = result_.get();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(),
            "unsupported ZeDidi AAC sample rate 44100 Hz; expected 48000 Hz");
  const auto format = sink_.named("audio_format");
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0]["sample_rate"], 44100);
  EXPECT_TRUE(chunks_.empty());
}

TEST_F(ReaderLoopTest, PlainPayloadsOfASessionWithKeysAreReportedEncrypted) {
  const auto frames = testing::split_adts(testing::ffmpeg_adts(testing::kToneArgs));
  start(*StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "0123456789abcdef", "fedcba9876543210"));
  for (const auto& f : rtp_stream(frames, 4)) send(f);
  auto r = finish();
  EXPECT_NE(remote_closed_details(r.error()), nullptr);
  const auto format = sink_.named("audio_format");
  ASSERT_EQ(format.size(), 1u);
  EXPECT_EQ(format[0]["encrypted"], true);
  EXPECT_EQ(format[0]["sample_rate"], 48000);
  EXPECT_EQ(chunks_.size(), frames.size() / 4 * 4);  // plain 48 kHz payloads are not decrypted
}

// The output may hold decoded chunks back to hand them over together; the reader lets it hand
// them over whenever it is about to wait for the phone, so none waits on the next packet.
TEST_F(ReaderLoopTest, FlushesTheStreamAfterTheDecodedAudioBeforeWaitingForThePhone) {
  const auto frames = testing::split_adts(testing::ffmpeg_adts(testing::kToneArgs));
  ASSERT_GE(frames.size(), 15u);
  // Nine frames in one burst, then six, three to a PES: each burst ends with a flush after its
  // last chunk.
  const auto burst = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
    Bytes bytes;
    for (const auto& packet :
         rtp_stream(std::vector<Bytes>(frames.begin() + from, frames.begin() + to), 3)) {
      bytes.insert(bytes.end(), packet.begin(), packet.end());
    }
    return bytes;
  };
  outputs_.record_flushes = true;
  start();
  const auto flushed_after = [&](std::size_t chunks) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      {
        std::lock_guard lock(mu_);
        if (!outputs_.flushes.empty() && outputs_.flushes.back() == chunks &&
            chunks_.size() == chunks) {
          return true;
        }
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  send(burst(0, 9));
  EXPECT_TRUE(flushed_after(9));
  send(burst(9, 15));
  EXPECT_TRUE(flushed_after(15));
  auto r = finish();
  EXPECT_NE(remote_closed_details(r.error()), nullptr);
  std::lock_guard lock(mu_);
  EXPECT_EQ(chunks_.size(), 15u);
}

TEST(ReaderLoopTcpTest, ResetIsAReadFailure) {
  auto listener = tcp_listen(SocketAddrV4{Ipv4::loopback(), 0}, 1, false);
  ASSERT_TRUE(listener);
  auto addr = local_address(listener->get());
  ASSERT_TRUE(addr);
  auto phone = tcp_connect(*addr);
  ASSERT_TRUE(phone);
  auto accepted = accept_connection(listener->get());
  ASSERT_TRUE(accepted);
  testing::FakeReaderOutputs outputs;
  auto counter = std::make_shared<std::atomic<std::uint64_t>>(1);
  auto result = std::async(std::launch::async, [&] {
    return run_media_reader_with(outputs,
                                 MediaReaderInputs{
                                     .audio = std::move(accepted->fd),
                                     .session = {.params = {.rtsp_ip = {},.rtsp_port = 0,.keys = std::nullopt,
                                                            .media = testing::media_config("stream:1", system_clock()),
                                                            .token = SessionToken(counter, 1)},
                                                 .shared = testing::session_shared(EventSink(), system_clock())}});
  });
  ASSERT_TRUE(write_all(phone->get(), Bytes{0x24, 0}));
  const linger lg{1, 0};
  ASSERT_EQ(::setsockopt(phone->get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  phone->reset();  // closing with a zero linger sends a reset
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto r = result.get();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ErrorKind::kOs);
  EXPECT_EQ(r.error().to_string().rfind("read ZeDidi media stream: ", 0), 0u)
      << r.error().to_string();
}

}  // namespace
}  // namespace sonvale
