#include "media/output/pcm_streamer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/net.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sonvale::testing::RecordingSink;

constexpr std::size_t kChunkSize = 3764;  // one decoded frame of the stream, 941 stereo frames
constexpr std::size_t kTwoSecondsOfAudio = 352800;

// A chunk whose bytes tell its sequence number (first four bytes, when it has them) and whose
// every byte depends on both the sequence number and the position.
Bytes make_chunk(std::uint32_t seq, std::size_t size) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) {
    b[i] = static_cast<std::uint8_t>((seq * 131u + i * 7u + (i >> 8)) & 0xffu);
  }
  for (std::size_t i = 0; i < 4 && i < size; ++i) {
    b[i] = static_cast<std::uint8_t>(seq >> (8 * i));
  }
  return b;
}

// A loopback TCP listener of either family on an ephemeral (or given) port.
class TestListener {
 public:
  // `rcvbuf` > 0 makes accepted connections take little data before the sender blocks.
  static TestListener open(int family, std::uint16_t port = 0, int rcvbuf = 0) {
    TestListener l;
    l.family_ = family;
    l.fd_ = Fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(l.fd_.valid()) << os_error_text(errno);
    const int on = 1;
    (void)::setsockopt(l.fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (rcvbuf > 0) {
      (void)::setsockopt(l.fd_.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (family == AF_INET6) {
      auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
      sa->sin6_family = AF_INET6;
      sa->sin6_addr = in6addr_loopback;
      sa->sin6_port = htons(port);
      len = sizeof *sa;
    } else {
      auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
      sa->sin_family = AF_INET;
      sa->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa->sin_port = htons(port);
      len = sizeof *sa;
    }
    EXPECT_EQ(::bind(l.fd_.get(), reinterpret_cast<sockaddr*>(&ss), len), 0) << os_error_text(errno);
    EXPECT_EQ(::listen(l.fd_.get(), 8), 0) << os_error_text(errno);
    len = sizeof ss;
    EXPECT_EQ(::getsockname(l.fd_.get(), reinterpret_cast<sockaddr*>(&ss), &len), 0);
    l.port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    return l;
  }

  std::uint16_t port() const { return port_; }
  std::string target_text() const {
    return (family_ == AF_INET6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
  }
  SocketAddr addr() const { return *SocketAddr::parse(target_text()); }

  // True when a connection is waiting to be accepted within `timeout`.
  bool pending(std::chrono::milliseconds timeout) const {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
  }
  Fd accept(std::chrono::milliseconds timeout = 5s) const {
    if (!pending(timeout)) return Fd();
    return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  }
  void close() { fd_.reset(); }

 private:
  int family_ = AF_INET;
  Fd fd_;
  std::uint16_t port_ = 0;
};

// Reads until the peer closes. Fails the test (and returns what came) when no EOF arrives in time.
Bytes read_to_eof(const Fd& fd, std::chrono::milliseconds timeout = 20s) {
  Bytes out;
  const auto deadline = Clock::now() + timeout;
  std::uint8_t buf[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "no end of stream after " << out.size() << " bytes";
      return out;
    }
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      EXPECT_EQ(n, 0) << os_error_text(errno);
      return out;
    }
    out.insert(out.end(), buf, buf + n);
  }
}

Bytes read_exactly(const Fd& fd, std::size_t size, std::chrono::milliseconds timeout = 5s) {
  Bytes out(size);
  const auto deadline = Clock::now() + timeout;
  std::size_t got = 0;
  while (got < size) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd.get(), POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd.get(), out.data() + got, size - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
  return out;
}

// Limits of the defaults but with a small send buffer, so that a listener that does not read
// blocks the streamer's write after a few kilobytes instead of the megabytes the kernel would
// otherwise buffer.
PcmStreamLimits stalling(std::chrono::milliseconds write_timeout = PcmStreamLimits{}.write_timeout) {
  return PcmStreamLimits{.write_timeout = write_timeout, .send_buffer_bytes = 4096};
}

// Tells when the streamer thread has ended: the thread's copy of the sink is released only when
// its body returns.
class ThreadEndProbe {
 public:
  EventSink wrap(EventSink inner) {
    auto token = std::make_shared<Token>();
    ended_ = token->done.get_future();
    return EventSink([inner = std::move(inner), token](Json e) { inner(std::move(e)); });
  }
  bool ended_within(std::chrono::milliseconds timeout) {
    return ended_.wait_for(timeout) == std::future_status::ready;
  }

 private:
  struct Token {
    std::promise<void> done;
    ~Token() { done.set_value(); }
  };
  std::future<void> ended_;
};

// Waits until `rec` holds at least `n` events named `name`.
bool wait_for_count(const RecordingSink& rec, const std::string& name, std::size_t n,
                    std::chrono::milliseconds timeout = 5s) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (rec.named(name).size() >= n) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    // Returns at the next recorded event (or the time-out); the loop then counts again.
    const std::size_t seen = rec.events().size();
    std::size_t visited = 0;
    (void)rec.wait_for([&](const Json&) { return ++visited > seen; }, left);
  }
}

bool streamer_thread_running() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "sonvale-pcm-str") return true;  // the 15-byte cut of the thread's name
  }
  return false;
}

Json connected_event(const TestListener& l) {
  return Json{{"event", "pcm_stream_connected"}, {"target", l.target_text()}};
}

TEST(PcmStreamerTest, ConnectsOnFirstChunkAndDeliversChunksInOrderUnchanged) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET);
  std::optional<PcmStreamer> streamer =
      PcmStreamer::create(listener.addr(), probe.wrap(rec.sink()));

  // Nothing connects before there is something to send.
  EXPECT_FALSE(listener.pending(100ms));
  EXPECT_TRUE(rec.events().empty());

  // Sizes seen in the stream (940 and 941 frames), odd and tiny ones, an empty chunk, a large one.
  const std::size_t sizes[] = {3764, 3760, 1, 0, 16384, 2, 3763, 4096};
  Bytes expected;
  streamer->send(make_chunk(0, sizes[0]));
  expected = make_chunk(0, sizes[0]);
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  EXPECT_TRUE(streamer_thread_running());
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  for (std::uint32_t seq = 1; seq < 64; ++seq) {
    Bytes chunk = make_chunk(seq, sizes[seq % std::size(sizes)]);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    streamer->send(std::move(chunk));
  }
  ASSERT_LT(expected.size(), kTwoSecondsOfAudio);  // nothing may be dropped here
  streamer.reset();

  EXPECT_EQ(read_to_eof(conn), expected);
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_EQ(rec.events(), std::vector<Json>{connected_event(listener)});
  EXPECT_FALSE(listener.pending(0ms)) << "a second connection was opened";
}

TEST(PcmStreamerTest, DroppingTheStreamerWritesEverythingQueuedThenCloses) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET, 0, 4096);
  std::optional<PcmStreamer> streamer = PcmStreamer::create(
      listener.addr(), probe.wrap(rec.sink()), stalling(60s));

  // The listener does not read yet, so chunks pile up behind the blocked write.
  Bytes expected;
  std::uint32_t seq = 0;
  while (streamer->queued_bytes() < kTwoSecondsOfAudio / 2 && seq < 20000) {
    Bytes chunk = make_chunk(seq++, kChunkSize);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    streamer->send(std::move(chunk));
  }
  ASSERT_GE(streamer->queued_bytes(), kTwoSecondsOfAudio / 2);
  streamer.reset();
  EXPECT_FALSE(probe.ended_within(0ms)) << "the thread gave up on queued chunks";

  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  const Bytes got = read_to_eof(conn);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_EQ(rec.events(), std::vector<Json>{connected_event(listener)});
}

TEST(PcmStreamerTest, ChunkLargerThanTheWholeBoundIsDroppedAndOneOfExactlyTheBoundIsKept) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET);
  constexpr std::size_t kBound = 10000;
  std::optional<PcmStreamer> streamer = PcmStreamer::create(
      listener.addr(), probe.wrap(rec.sink()), PcmStreamLimits{.max_queued_bytes = kBound});

  streamer->send(make_chunk(1, kBound));
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  streamer->send(make_chunk(2, kBound + 1));
  streamer->send(make_chunk(3, 100));
  streamer.reset();

  Bytes expected = make_chunk(1, kBound);
  const Bytes last = make_chunk(3, 100);
  expected.insert(expected.end(), last.begin(), last.end());
  EXPECT_EQ(read_to_eof(conn), expected);
  EXPECT_TRUE(probe.ended_within(5s));
}

TEST(PcmStreamerTest, MovingHandsOverTheQueueAndAssigningEndsTheOldStream) {
  RecordingSink rec;
  ThreadEndProbe first_probe;
  ThreadEndProbe second_probe;
  auto first = TestListener::open(AF_INET);
  auto second = TestListener::open(AF_INET);

  PcmStreamer original = PcmStreamer::create(first.addr(), first_probe.wrap(rec.sink()));
  PcmStreamer moved = std::move(original);
  original.send(make_chunk(1, kChunkSize));  // a moved-from streamer drops the chunk
  EXPECT_EQ(original.queued_bytes(), 0u);
  moved.send(make_chunk(2, kChunkSize));
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  Fd first_conn = first.accept();
  ASSERT_TRUE(first_conn.valid());

  moved = PcmStreamer::create(second.addr(), second_probe.wrap(rec.sink()));
  EXPECT_EQ(read_to_eof(first_conn), make_chunk(2, kChunkSize));
  EXPECT_TRUE(first_probe.ended_within(5s));

  moved.send(make_chunk(3, kChunkSize));
  ASSERT_TRUE(wait_for_count(rec, "pcm_stream_connected", 2));
  Fd second_conn = second.accept();
  ASSERT_TRUE(second_conn.valid());
  { PcmStreamer gone = std::move(moved); }
  EXPECT_EQ(read_to_eof(second_conn), make_chunk(3, kChunkSize));
  EXPECT_TRUE(second_probe.ended_within(5s));
}

class PcmStreamerConnectTest : public ::testing::TestWithParam<int> {};

TEST_P(PcmStreamerConnectTest, EachChunkWithoutListenerWarnsAndIsDroppedUntilOneListens) {
  const int family = GetParam();
  // A port on which nobody listens, free again for the listener opened later.
  std::uint16_t port = 0;
  std::string target;
  SocketAddr addr;
  {
    auto reserved = TestListener::open(family);
    port = reserved.port();
    target = reserved.target_text();
    addr = reserved.addr();
  }
  EXPECT_EQ(addr.to_string(), target);

  RecordingSink rec;
  ThreadEndProbe probe;
  std::optional<PcmStreamer> streamer = PcmStreamer::create(addr, probe.wrap(rec.sink()));
  for (std::uint32_t seq = 0; seq < 3; ++seq) {
    streamer->send(make_chunk(seq, kChunkSize));
    ASSERT_TRUE(wait_for_count(rec, "warning", seq + 1));
  }
  const Json refused{{"event", "warning"},
                     {"code", "pcm_stream_connect_failed"},
                     {"message", "PCM stream connect failed: " + os_error_text(ECONNREFUSED)},
                     {"target", target}};
  EXPECT_EQ(rec.events(), std::vector<Json>(3, refused));

  // The first chunk after the listener appears opens the stream and is its first byte.
  auto listener = TestListener::open(family, port);
  ASSERT_EQ(listener.port(), port);
  streamer->send(make_chunk(7, kChunkSize));
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  streamer.reset();
  EXPECT_EQ(read_to_eof(conn), make_chunk(7, kChunkSize));
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_EQ(rec.named("pcm_stream_connected"), std::vector<Json>{connected_event(listener)});
  EXPECT_EQ(rec.named("warning").size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Families, PcmStreamerConnectTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                           return param_info.param == AF_INET6 ? std::string("Ipv6")
                                                         : std::string("Ipv4");
                         });

TEST(PcmStreamerTest, ListenerClosingMidStreamGivesOneWarningAndTheNextChunkReconnects) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET);
  std::optional<PcmStreamer> streamer =
      PcmStreamer::create(listener.addr(), probe.wrap(rec.sink()));

  streamer->send(make_chunk(0, kChunkSize));
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  {
    Fd conn = listener.accept();
    ASSERT_TRUE(conn.valid());
    EXPECT_EQ(read_exactly(conn, kChunkSize), make_chunk(0, kChunkSize));
    const linger reset{1, 0};  // close with a reset, as a crashing listener would
    ASSERT_EQ(::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
  }

  // The next write on the dead connection fails; each chunk waits for that before the next.
  std::uint32_t seq = 1;
  for (; seq < 20 && rec.named("warning").empty(); ++seq) {
    streamer->send(make_chunk(seq, kChunkSize));
    (void)wait_for_count(rec, "warning", 1, 2s);
  }
  const auto warnings = rec.named("warning");
  ASSERT_EQ(warnings.size(), 1u);
  const std::string prefix = "PCM stream write failed: ";
  EXPECT_TRUE(warnings[0] == (Json{{"event", "warning"},
                                   {"code", "pcm_stream_write_failed"},
                                   {"message", prefix + os_error_text(ECONNRESET)}}) ||
              warnings[0] == (Json{{"event", "warning"},
                                   {"code", "pcm_stream_write_failed"},
                                   {"message", prefix + os_error_text(EPIPE)}}))
      << warnings[0].dump();

  // The failed chunk is not retried: the new connection starts with the chunk after it.
  streamer->send(make_chunk(100, kChunkSize));
  ASSERT_TRUE(wait_for_count(rec, "pcm_stream_connected", 2));
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  streamer.reset();
  EXPECT_EQ(read_to_eof(conn), make_chunk(100, kChunkSize));
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_EQ(rec.named("warning").size(), 1u);
  EXPECT_EQ(rec.named("pcm_stream_connected"),
            std::vector<Json>(2, connected_event(listener)));
}

// Sends chunks of kChunkSize until the queue holds as much as the default bound allows, that is
// until the thread no longer keeps up with a listener that does not read. Returns the next
// sequence number.
std::uint32_t fill_queue(PcmStreamer& streamer) {
  const std::size_t full = kTwoSecondsOfAudio / kChunkSize * kChunkSize;
  std::uint32_t seq = 0;
  std::size_t queued = 0;
  while (queued < full && seq < 50000) {
    streamer.send(make_chunk(seq++, kChunkSize));
    queued = streamer.queued_bytes();
    EXPECT_LE(queued, kTwoSecondsOfAudio);
  }
  EXPECT_EQ(queued, full) << "the queue never filled";
  return seq;
}

TEST(PcmStreamerTest, StalledListenerKeepsTheQueueWithinTwoSecondsDroppingTheOldest) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET, 0, 4096);
  // A long write limit, so that only the queue bound acts here.
  std::optional<PcmStreamer> streamer = PcmStreamer::create(
      listener.addr(), probe.wrap(rec.sink()), stalling(60s));

  std::uint32_t seq = fill_queue(*streamer);
  // Ten more seconds of audio while the listener stalls: the queue stays at its bound.
  const std::uint32_t last = seq + 10 * 44100 * 4 / static_cast<std::uint32_t>(kChunkSize);
  const auto start = Clock::now();
  std::size_t most = 0;
  for (; seq <= last; ++seq) {
    streamer->send(make_chunk(seq, kChunkSize));
    most = std::max(most, streamer->queued_bytes());
  }
  EXPECT_LT(Clock::now() - start, 1s) << "send waited for the stalled listener";
  EXPECT_LE(most, kTwoSecondsOfAudio);
  EXPECT_GT(most, kTwoSecondsOfAudio - 2 * kChunkSize);

  // The listener reads again: whole chunks in order, the newest two seconds all there.
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  streamer.reset();
  const Bytes got = read_to_eof(conn);
  ASSERT_EQ(got.size() % kChunkSize, 0u);
  std::vector<std::uint32_t> seqs;
  for (std::size_t off = 0; off < got.size(); off += kChunkSize) {
    const std::uint32_t s = static_cast<std::uint32_t>(got[off]) |
                            static_cast<std::uint32_t>(got[off + 1]) << 8 |
                            static_cast<std::uint32_t>(got[off + 2]) << 16 |
                            static_cast<std::uint32_t>(got[off + 3]) << 24;
    ASSERT_TRUE(std::equal(got.begin() + static_cast<std::ptrdiff_t>(off),
                           got.begin() + static_cast<std::ptrdiff_t>(off + kChunkSize),
                           make_chunk(s, kChunkSize).begin()))
        << "chunk at offset " << off << " is damaged";
    if (!seqs.empty()) {
      ASSERT_GT(s, seqs.back()) << "out of order at offset " << off;
    }
    seqs.push_back(s);
  }
  const std::uint32_t kept = static_cast<std::uint32_t>(kTwoSecondsOfAudio / kChunkSize);
  ASSERT_GE(seqs.size(), kept);
  EXPECT_LT(seqs.size(), last + 1) << "nothing was dropped";
  const std::vector<std::uint32_t> tail(seqs.end() - kept, seqs.end());
  std::vector<std::uint32_t> newest(kept);
  for (std::uint32_t i = 0; i < kept; ++i) newest[i] = last - kept + 1 + i;
  EXPECT_EQ(tail, newest);
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_TRUE(rec.named("warning").empty());
}

TEST(PcmStreamerTest, WriteBlockedForTwoSecondsFailsAndTheNextChunkReconnects) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET, 0, 4096);
  std::optional<PcmStreamer> streamer =
      PcmStreamer::create(listener.addr(), probe.wrap(rec.sink()), stalling());

  const auto first_send = Clock::now();
  std::uint32_t seq = fill_queue(*streamer);
  const auto full = Clock::now();
  for (const auto end = seq + 200; seq < end; ++seq) {
    streamer->send(make_chunk(seq, kChunkSize));
    EXPECT_LE(streamer->queued_bytes(), kTwoSecondsOfAudio);
  }
  EXPECT_LT(Clock::now() - full, 1s) << "send waited for the blocked write";
  EXPECT_TRUE(rec.named("warning").empty());

  const auto failed = rec.wait_for_event("warning", 10s);
  const auto failed_at = Clock::now();
  ASSERT_TRUE(failed);
  EXPECT_EQ(*failed, (Json{{"event", "warning"},
                           {"code", "pcm_stream_write_failed"},
                           {"message", "PCM stream write failed: " + os_error_text(ETIMEDOUT)}}));
  // The write that timed out began after the first send, and about when the queue filled; a
  // listener that does not read still takes a trickle of bytes, which may let one more chunk
  // through before a write blocks for good, but never two write limits' worth.
  EXPECT_GE(failed_at - first_send, 2s);
  EXPECT_LT(failed_at - full, 4s);
  RecordProperty("write_failed_after_queue_full_ms",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      failed_at - full).count()));

  // The chunks still queued go to a new connection.
  ASSERT_TRUE(wait_for_count(rec, "pcm_stream_connected", 2));
  // Exactly one failure led to the reconnect. (The listener still does not read, so the new
  // connection may itself time out later; that is not counted here.)
  int warnings_before_reconnect = 0;
  int connects = 0;
  for (const auto& e : rec.events()) {
    if (e["event"] == "pcm_stream_connected" && ++connects == 2) break;
    if (e["event"] == "warning") ++warnings_before_reconnect;
  }
  EXPECT_EQ(warnings_before_reconnect, 1);

  // Clean stop: without the listener the rest fails fast, and the thread ends.
  listener.close();
  streamer.reset();
  EXPECT_TRUE(probe.ended_within(10s));
}

// Once the streamer is gone, the thread ends at the first failure rather than trying again for
// each chunk still queued: a listener that is gone (each try refused at once) or that accepts and
// never reads (each try a whole write time-out) would otherwise keep it alive chunk by chunk.
TEST(PcmStreamerTest, AFailureAfterTheStreamerIsGoneEndsTheThreadAndDropsTheRest) {
  struct Case {
    const char* name;
    bool listener_reads_nothing;  // otherwise the listener closes once the stream has opened
  };
  for (const Case c : {Case{"listener_gone", false}, Case{"listener_never_reads", true}}) {
    SCOPED_TRACE(c.name);
    RecordingSink rec;
    ThreadEndProbe probe;
    auto listener = TestListener::open(AF_INET, 0, 4096);
    std::optional<PcmStreamer> streamer =
        PcmStreamer::create(listener.addr(), probe.wrap(rec.sink()), stalling(200ms));
    (void)fill_queue(*streamer);
    ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
    Fd conn = listener.accept();
    streamer.reset();  // while its write waits for the listener
    if (!c.listener_reads_nothing) {
      conn.reset();
      listener.close();
    }
    // Before the streamer was gone it tried again for every chunk: about 90 refusals, or a
    // write time-out for every few kilobytes the listener's window took.
    EXPECT_TRUE(probe.ended_within(2s));
    EXPECT_EQ(rec.named("warning").size(), 1u) << rec.events().size();
  }
}

// True when the listener's connection has bytes to read within `timeout`.
bool readable(const Fd& fd, std::chrono::milliseconds timeout) {
  pollfd p{fd.get(), POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

TEST(PcmStreamerTest, BatchedChunksGoAtTheFirstAtFlushAndAtTheBatchSize) {
  RecordingSink rec;
  ThreadEndProbe probe;
  auto listener = TestListener::open(AF_INET);
  std::optional<PcmStreamer> streamer =
      PcmStreamer::create(listener.addr(), probe.wrap(rec.sink()));
  Bytes expected;
  std::uint32_t seq = 0;
  const auto queue = [&] {
    Bytes chunk = make_chunk(seq++, kChunkSize);
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    (void)streamer->send_batched(std::move(chunk));
  };

  // The first chunk opens the stream at once: no flush, no batch.
  queue();
  ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
  Fd conn = listener.accept();
  ASSERT_TRUE(conn.valid());
  EXPECT_EQ(read_exactly(conn, kChunkSize), make_chunk(0, kChunkSize));

  // Later ones wait for the producer's flush...
  for (int i = 0; i < 5; ++i) queue();
  EXPECT_FALSE(readable(conn, 200ms)) << "a batched chunk went out before the flush";
  streamer->flush();
  EXPECT_TRUE(read_exactly(conn, 5 * kChunkSize) ==
              Bytes(expected.begin() + kChunkSize, expected.end()));

  // ... or until a whole batch has gathered.
  const std::size_t before = expected.size();
  while (expected.size() - before < PcmStreamer::kBatchBytes) queue();
  EXPECT_TRUE(read_exactly(conn, expected.size() - before) ==
              Bytes(expected.begin() + static_cast<std::ptrdiff_t>(before), expected.end()));

  // What is held back when the producer goes still goes out when it drops the streamer.
  for (int i = 0; i < 3; ++i) queue();
  const std::size_t held = expected.size() - 3 * kChunkSize;
  streamer.reset();
  EXPECT_TRUE(read_to_eof(conn) ==
              Bytes(expected.begin() + static_cast<std::ptrdiff_t>(held), expected.end()));
  EXPECT_TRUE(probe.ended_within(5s));
  EXPECT_EQ(rec.events(), std::vector<Json>{connected_event(listener)});
}

TEST(PcmStreamerTest, BuffersOfWrittenChunksComeBackAndTheirOldBytesNeverReachTheStream) {
  RecordingSink rec;
  auto listener = TestListener::open(AF_INET);
  std::optional<PcmStreamer> streamer = PcmStreamer::create(listener.addr(), rec.sink());
  Fd conn;
  Bytes spare;
  std::size_t reused = 0;
  std::uint32_t seq = 0;
  for (int round = 0; round < 20; ++round) {
    Bytes expected;
    for (int i = 0; i < 10; ++i, ++seq) {
      if (spare.capacity() > 0) ++reused;
      // A buffer that came back is filled again as the resampler fills it, over its old bytes: one
      // that were still queued or being written would show as a damaged chunk.
      const Bytes chunk = make_chunk(seq, kChunkSize - seq % 3);
      spare.resize(chunk.size());
      std::copy(chunk.begin(), chunk.end(), spare.begin());
      expected.insert(expected.end(), chunk.begin(), chunk.end());
      spare = streamer->send_batched(std::move(spare));
    }
    streamer->flush();
    if (!conn.valid()) {
      ASSERT_TRUE(rec.wait_for_event("pcm_stream_connected"));
      conn = listener.accept();
      ASSERT_TRUE(conn.valid());
    }
    ASSERT_TRUE(read_exactly(conn, expected.size()) == expected) << "round " << round;
  }
  EXPECT_GT(reused, 0u) << "no buffer came back";
  streamer.reset();
  EXPECT_TRUE(read_to_eof(conn).empty());
}

}  // namespace
}  // namespace sonvale
