#include "media/stream/data_threads.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "media/media_error.h"
#include "media/media_session.h"
#include "support/media_records.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// A connected TCP pair on loopback: `phone` is the far end of the receiver's `local`.
struct TcpPair {
  Fd local;
  Fd phone;
};

TcpPair tcp_pair() {
  auto listener = tcp_listen({Ipv4::loopback(), 0}, 1, false);
  EXPECT_TRUE(listener);
  auto addr = local_address(listener->get());
  auto local = tcp_connect(*addr);
  auto phone = accept_connection(listener->get());
  EXPECT_TRUE(local && phone);
  return {std::move(*local), std::move(phone->fd)};
}

void reset(Fd& fd) {
  linger lg{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  fd.reset();
}

// Waits until the receiver's end of `phone` is closed or shut down.
bool closed_by_receiver(int phone, std::chrono::milliseconds within = 3s) {
  (void)set_recv_timeout(phone, within);
  std::array<std::uint8_t, 4096> buf{};
  for (;;) {
    auto n = read_some(phone, buf);
    if (!n) return n.error().io_kind() != IoKind::kWouldBlock;
    if (*n == 0) return true;
  }
}

class MediaReaderThread : public ::testing::Test {
 protected:
  MediaReaderInputs inputs(Fd audio, std::optional<StreamKeys> keys = std::nullopt) {
    MediaReaderInputs in{
        .audio = std::move(audio),
        .session = {.params = {.rtsp_ip = {},.rtsp_port = 0,.keys = std::move(keys),
                               // The PCM stream: without a device text the reader would open the
                               // native output first, and this machine has none. No audio
                               // arrives, so the streamer never connects.
                               .media = testing::media_config("stream:127.0.0.1:9", system_clock()),
                               .token = SessionToken(counter_, 3)},
                    .shared = testing::session_shared(sink_.sink(), system_clock())},
    };
    in.session.shared.session_alive = alive_;
    return in;
  }

  // Runs the thread body to its end.
  void run(MediaReaderInputs in) {
    std::thread t([&] { media_reader_main(std::move(in)); });
    t.join();
  }

  std::shared_ptr<std::atomic<std::uint64_t>> counter_ =
      std::make_shared<std::atomic<std::uint64_t>>(3);
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  testing::RecordingSink sink_;
};

TEST_F(MediaReaderThread, CloseMidHeaderIsANormalChannelClose) {
  auto [local, phone] = tcp_pair();
  ASSERT_TRUE(write_all(phone.get(), as_bytes(std::string_view("$\x00", 2))));
  phone.reset();
  run(inputs(std::move(local)));
  const auto events = sink_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], (Json{{"event", "media_channel_closed"},
                             {"bytes_expected", 4},
                             {"bytes_read", 2},
                             {"channel", "audio"},
                             {"media_generation", 3},
                             {"outcome", "normal"},
                             {"protocol", "xiaomi_zedidi"}}));
}

TEST_F(MediaReaderThread, ResetIsAStreamFailureWithFingerprint) {
  for (const bool with_keys : {false, true}) {
    SCOPED_TRACE(with_keys);
    testing::RecordingSink sink;
    auto [local, phone] = tcp_pair();
    reset(phone);
    std::optional<StreamKeys> keys;
    if (with_keys)
      keys = *StreamKeys::from_strings("A1b2C3d4E5f6G7h8", "0123456789abcdef", "fedcba9876543210");
    auto in = inputs(std::move(local), keys);
    in.session.shared.events = sink.sink();
    run(std::move(in));
    const auto events = sink.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["event"], "error");
    EXPECT_EQ(events[0]["code"], "sonvale_audio_stream_failed");
    EXPECT_EQ(events[0]["media_generation"], 3);
    EXPECT_EQ(events[0]["key_fingerprint"], with_keys ? Json(keys->fingerprint()) : Json(nullptr));
    const std::string message = events[0]["message"];
    EXPECT_EQ(message.rfind("小米妙播音频流失败：", 0), 0u) << message;
    EXPECT_NE(message.find("read ZeDidi media stream"), std::string::npos) << message;
    EXPECT_FALSE(events[0].contains("protocol"));
  }
}

TEST_F(MediaReaderThread, ReplacedGenerationReportsNothing) {
  auto [local, phone] = tcp_pair();
  counter_->store(4);
  reset(phone);
  run(inputs(std::move(local)));
  EXPECT_TRUE(sink_.events().empty());
}

TEST_F(MediaReaderThread, SessionShutdownEndsTheReaderQuietly) {
  auto [local, phone] = tcp_pair();
  auto handle = local.duplicate();
  ASSERT_TRUE(handle);
  std::thread t([&, in = inputs(std::move(local))]() mutable { media_reader_main(std::move(in)); });
  // What the session does at its end, while its generation is still current.
  alive_->store(false);
  shutdown_both(handle->get());
  t.join();
  EXPECT_TRUE(sink_.events().empty());
  EXPECT_TRUE(closed_by_receiver(phone.get()));
}

// However the reader ends, the phone sees its audio connection end at once, although the session
// still holds a second descriptor of the socket (to wake the reader at the session's end).
struct ReaderEndCase {
  const char* name;
  void (*end)(Fd& phone, std::atomic<std::uint64_t>& counter);
  const char* event;  // what the reader thread reports; null for nothing
};

class MediaReaderEnd : public MediaReaderThread,
                       public ::testing::WithParamInterface<ReaderEndCase> {};

TEST_P(MediaReaderEnd, ShutsItsConnectionDownWhileTheSessionHoldsIt) {
  auto [local, phone] = tcp_pair();
  auto session_handle = local.duplicate();
  ASSERT_TRUE(session_handle);
  std::thread t([&, in = inputs(std::move(local))]() mutable { media_reader_main(std::move(in)); });
  GetParam().end(phone, *counter_);
  t.join();
  EXPECT_TRUE(closed_by_receiver(phone.get(), 1s));
  const auto events = sink_.events();
  if (GetParam().event == nullptr) {
    EXPECT_TRUE(events.empty());
  } else {
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["event"], GetParam().event);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, MediaReaderEnd,
    ::testing::Values(ReaderEndCase{"ShortRtpFrame",
                                    [](Fd& phone, std::atomic<std::uint64_t>&) {
                                      ASSERT_TRUE(write_all(
                                          phone.get(), as_bytes(std::string_view("$\0\0\x0b", 4))));
                                    },
                                    "error"},
                      ReaderEndCase{"PhoneHalfClosesMidHeader",
                                    [](Fd& phone, std::atomic<std::uint64_t>&) {
                                      ASSERT_TRUE(write_all(phone.get(),
                                                            as_bytes(std::string_view("$\0", 2))));
                                      ::shutdown(phone.get(), SHUT_WR);
                                    },
                                    "media_channel_closed"},
                      ReaderEndCase{
                          "GenerationMovesOn",
                          [](Fd&, std::atomic<std::uint64_t>& counter) { counter.fetch_add(1); },
                          nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ImageDrain, ConsumesEverythingAndClosesWhenThePhoneDoes) {
  auto [local, phone] = tcp_pair();
  auto session_handle = local.duplicate();  // as the session keeps one
  ASSERT_TRUE(session_handle);
  std::thread t([local = std::move(local)]() mutable { image_drain_main(std::move(local)); });
  const std::string chunk(64 * 1024, 'i');
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(write_all(phone.get(), as_bytes(chunk)));  // 4 MiB
  ::shutdown(phone.get(), SHUT_WR);
  t.join();
  EXPECT_TRUE(closed_by_receiver(phone.get()));
}

TEST(EmitNormalChannelClose, OnlyForRemoteChannelClosed) {
  testing::RecordingSink sink;
  EXPECT_FALSE(emit_normal_channel_close(sink.sink(), Error::msg("boom"), 1));
  EXPECT_FALSE(emit_normal_channel_close(sink.sink(), Error::unexpected_eof(), 1));
  EXPECT_TRUE(sink.events().empty());
  // Recognised by type beneath context messages.
  Error wrapped = remote_channel_closed({"audio", 1, 9}).context("outer").context("outermost");
  EXPECT_TRUE(emit_normal_channel_close(sink.sink(), wrapped, 12));
  const auto events = sink.named("media_channel_closed");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["channel"], "audio");
  EXPECT_EQ(events[0]["bytes_read"], 1);
  EXPECT_EQ(events[0]["bytes_expected"], 9);
  EXPECT_EQ(events[0]["media_generation"], 12);
}

}  // namespace
}  // namespace sonvale
