#include "protocol/control_writer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/encoding.h"
#include "support/recording_sink.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

const std::array<std::uint8_t, 16> kKey = {'0', '1', '2', '3', '4', '5', '6', '7',
                                           '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

Outgoing msg(Outgoing::Mode mode, Bytes body, std::uint8_t command, std::uint32_t value_type,
             std::string key = "") {
  Outgoing m;
  m.mode = mode;
  m.body = std::move(body);
  m.command = command;
  m.value_type = value_type;
  m.wrapper_key = std::move(key);
  return m;
}

// The writer on one end of a socket pair; everything written is read back from the other end.
struct WriterRun {
  Result<> result;
  Bytes stream;
  std::vector<Json> events;
};

WriterRun run_writer(std::vector<Outgoing> messages) {
  auto [write_end, read_end] = testing::socket_pair();
  testing::RecordingSink rec;
  auto [sender, receiver] = make_channel<Outgoing>();
  for (auto& m : messages) EXPECT_TRUE(sender.send(std::move(m)));
  Bytes stream;
  std::thread reader([&] {
    std::array<std::uint8_t, 4096> buf{};
    for (;;) {
      auto n = read_some(read_end.get(), buf);
      if (!n || *n == 0) return;
      stream.insert(stream.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(*n));
    }
  });
  // The last sender goes before the writer starts: it must still write the whole queue.
  { auto gone = std::move(sender); }
  WriterRun run{writer_loop(write_end.get(), std::move(receiver), kKey, rec.sink()), {}, {}};
  write_end.reset();
  reader.join();
  run.stream = std::move(stream);
  run.events = rec.events();
  return run;
}

std::vector<Json> decode_with_python(const Bytes& stream) {
  const auto dir = std::filesystem::path(__FILE__).parent_path();
  const auto file = std::filesystem::temp_directory_path() /
                    ("sonvale-writer-" + std::to_string(::getpid()) + ".bin");
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
  const std::string cmd = "/usr/bin/python3 " + (dir / "frame_reader.py").string() +
                          " 0123456789abcdef " + file.string();
  FILE* pipe = ::popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 4096> buf{};
  while (pipe != nullptr) {
    const std::size_t n = std::fread(buf.data(), 1, buf.size(), pipe);
    if (n == 0) break;
    out.append(buf.data(), n);
  }
  const int status = pipe != nullptr ? ::pclose(pipe) : -1;
  std::filesystem::remove(file);
  EXPECT_EQ(status, 0) << out;
  std::vector<Json> frames;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t end = out.find('\n', start);
    frames.push_back(Json::parse(out.substr(start, end - start)));
    start = end + 1;
  }
  return frames;
}

Bytes filled(std::size_t n, std::uint8_t b) { return Bytes(n, b); }

TEST(ControlWriterTest, FramesDecodeIndependentlyWithChainedIvAndTraces) {
  using M = Outgoing::Mode;
  std::vector<Outgoing> messages;
  messages.push_back(msg(M::kEncrypted, filled(15, 'a'), 0x22, 8));
  messages.push_back(msg(M::kWrappedEncrypted, filled(40, 'b'), 2, 0, "cmd"));
  messages.push_back(msg(M::kPlain, filled(600, 'c'), 40, 4));
  messages.push_back(msg(M::kEncrypted, {}, 0x22, 65535));
  messages.push_back(msg(M::kWrapped, filled(3, 'd'), 1, 7, "ack"));
  Outgoing report = msg(M::kEncrypted, filled(1, 'e'), 0x17, 9);
  report.outer_type = 4;
  messages.push_back(std::move(report));

  const WriterRun run = run_writer(std::move(messages));
  ASSERT_TRUE(run.result) << run.result.error().to_string();
  EXPECT_EQ(hex_lower(ByteSpan(run.stream).first(9)), "240022000800000019");

  const auto frames = decode_with_python(run.stream);
  ASSERT_EQ(frames.size(), 6u);
  const Json expect[] = {
      {{"outer", 0}, {"command", 0x22}, {"value_type", 8}, {"length", 25}, {"encrypted", true},
       {"wrapper_key", nullptr}, {"plaintext", hex_lower(filled(15, 'a'))}},
      {{"outer", 20}, {"command", 2}, {"value_type", 0}, {"length", 73}, {"encrypted", true},
       {"wrapper_key", "cmd"}, {"plaintext", hex_lower(filled(40, 'b'))}},
      {{"outer", 0}, {"command", 40}, {"value_type", 4}, {"length", 600}, {"encrypted", false},
       {"wrapper_key", nullptr}, {"plaintext", hex_lower(filled(600, 'c'))}},
      {{"outer", 0}, {"command", 0x22}, {"value_type", 65535}, {"length", 25}, {"encrypted", true},
       {"wrapper_key", nullptr}, {"plaintext", ""}},
      {{"outer", 20}, {"command", 1}, {"value_type", 7}, {"length", 12}, {"encrypted", false},
       {"wrapper_key", "ack"}, {"plaintext", hex_lower(filled(3, 'd'))}},
      {{"outer", 4}, {"command", 0x17}, {"value_type", 9}, {"length", 25}, {"encrypted", true},
       {"wrapper_key", nullptr}, {"plaintext", "65"}},
  };
  for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], expect[i]) << i;

  ASSERT_EQ(run.events.size(), 6u);
  const Json& t0 = run.events[0];
  EXPECT_EQ(t0.size(), 12u);
  EXPECT_EQ(t0["direction"], "out");
  EXPECT_EQ(t0["outer_type"], 0);
  EXPECT_EQ(t0["body_length"], 25);
  EXPECT_EQ(t0["encrypted"], true);
  EXPECT_EQ(t0["wrapper_key"], nullptr);
  EXPECT_EQ(t0["wire_body_hex"], hex_lower(ByteSpan(run.stream).subspan(9, 25)));
  const Json& t1 = run.events[1];
  EXPECT_EQ(t1["wrapper_key"], "cmd");
  EXPECT_EQ(t1["outer_type"], 20);
  EXPECT_EQ(t1["plaintext_body_hex"], hex_lower(filled(40, 'b')));
  const Json& t2 = run.events[2];
  EXPECT_EQ(t2["plaintext_body_hex"].get<std::string>().size(), 1024u);
  EXPECT_EQ(t2["wire_body_hex"].get<std::string>().size(), 1024u);
  EXPECT_EQ(t2["wire_body_hex_truncated"], true);
  EXPECT_EQ(t2["plaintext_body_utf8"], std::string(512, 'c'));
  EXPECT_EQ(run.events[3]["wire_body_hex_truncated"], false);
}

TEST(ControlWriterTest, TraceCutsAMultiByteCharacterAndSeesAMarkerInAPlainBody) {
  Bytes body(511, 'x');
  body.push_back(0xC3);  // first byte of a two-byte character, cut at 512
  body.push_back(0xA9);
  Bytes marked = {0x00, 0x07, 0x01, 0xE0, 0x01};
  const WriterRun run = run_writer({msg(Outgoing::Mode::kPlain, body, 1, 1),
                                    msg(Outgoing::Mode::kPlain, marked, 1, 2)});
  ASSERT_TRUE(run.result);
  EXPECT_EQ(run.events[0]["plaintext_body_utf8"], std::string(511, 'x') + "\xEF\xBF\xBD");
  EXPECT_EQ(run.events[1]["encrypted"], true);
  EXPECT_EQ(hex_lower(ByteSpan(run.stream).subspan(run.stream.size() - 5)), "000701e001");
}

struct FailCase {
  const char* name;
  Outgoing message;
  bool traced;
  std::string message_text;
};

class ControlWriterFailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(ControlWriterFailureTest, ReportsWritesNothingAndClosesTheChannel) {
  auto [write_end, read_end] = testing::socket_pair();
  testing::RecordingSink rec;
  auto [sender, receiver] = make_channel<Outgoing>();
  ASSERT_TRUE(sender.send(GetParam().message));
  ASSERT_TRUE(sender.send(msg(Outgoing::Mode::kPlain, {1}, 1, 1)));
  auto dup = write_end.duplicate();
  control_writer_main(std::move(*dup), std::move(receiver), kKey, rec.sink());
  const auto events = rec.events();
  ASSERT_EQ(events.size(), GetParam().traced ? 2u : 1u);
  if (GetParam().traced) {
    EXPECT_EQ(events[0]["sequence"], GetParam().message.value_type);
  }
  EXPECT_EQ(events.back(), (Json{{"event", "error"},
                                 {"code", "sonvale_control_write_failed"},
                                 {"message", "小米妙播控制命令发送失败：" + GetParam().message_text}}));
  EXPECT_EQ(sender.send(msg(Outgoing::Mode::kPlain, {}, 1, 1)).error().to_string(),
            "sending on a closed channel");
  write_end.reset();
  std::array<std::uint8_t, 16> buf{};
  EXPECT_EQ(*read_some(read_end.get(), buf), 0u);  // nothing was written
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlWriterFailureTest,
    ::testing::Values(
        FailCase{"value_type_65536", msg(Outgoing::Mode::kEncrypted, {1, 2}, 0x22, 65536), true,
                 "ZeDidi value type exceeds 16 bits: out of range integral type conversion attempted"},
        FailCase{"wrapped_300_bytes", msg(Outgoing::Mode::kWrapped, Bytes(300, 1), 1, 1, "ack"), false,
                 "ZeDidi wrapped payload exceeds one-byte length field"},
        FailCase{"wrapper_key_256", msg(Outgoing::Mode::kWrappedEncrypted, {}, 1, 1, std::string(256, 'k')),
                 false, "ZeDidi wrapped payload exceeds one-byte length field"},
        FailCase{"body_too_large", msg(Outgoing::Mode::kPlain, Bytes(16777217, 0), 1, 1), true,
                 "ZeDidi control body is too large: 16777217 bytes"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(ControlWriterTest, AWriteThatStaysBlockedFailsAndShutsTheConnectionDown) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Fd write_end(fds[0]);
  Fd read_end(fds[1]);  // never read
  // The session sets kControlWriteTimeout; a short time-out shows the same path quickly.
  ASSERT_TRUE(set_send_timeout(write_end.get(), std::chrono::milliseconds(100)));
  testing::RecordingSink rec;
  auto [sender, receiver] = make_channel<Outgoing>();
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(sender.send(msg(Outgoing::Mode::kPlain, Bytes(65536, 0), 1, 1)));
  auto stalled = std::make_shared<std::atomic<bool>>(false);
  auto session_end = write_end.duplicate();
  control_writer_main(std::move(write_end), std::move(receiver), kKey, rec.sink(), stalled);
  EXPECT_TRUE(stalled->load());
  const auto err = rec.named("error");
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0]["message"], "小米妙播控制命令发送失败：ZeDidi control write blocked for 10 s: "
                               "Resource temporarily unavailable (os error 11)");
  // The session's own descriptor sees the end of the stream: its read loop wakes up.
  std::uint8_t byte = 0;
  EXPECT_EQ(*read_some(session_end->get(), {&byte, 1}), 0u);
}

TEST(ControlWriterTest, APeerThatTakesAFewBytesNowAndThenDoesNotRenewTheTimeOut) {
  auto [write_end, read_end] = testing::socket_pair();
  // The session sets kControlWriteTimeout; a short time-out shows the same rule quickly.
  ASSERT_TRUE(set_send_timeout(write_end.get(), std::chrono::milliseconds(300)));
  std::atomic<bool> done{false};
  std::thread slow_peer([&done, fd = read_end.get()] {
    std::array<std::uint8_t, 512> buf{};
    while (!done) {  // a little every 50 ms: each send call makes some progress
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      (void)::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    }
  });
  testing::RecordingSink rec;
  auto [sender, receiver] = make_channel<Outgoing>();
  ASSERT_TRUE(sender.send(msg(Outgoing::Mode::kPlain, Bytes(4 * 1024 * 1024, 0), 1, 1)));
  const auto start = std::chrono::steady_clock::now();
  const auto result = writer_loop(write_end.get(), std::move(receiver), kKey, rec.sink());
  const auto took = std::chrono::steady_clock::now() - start;
  done = true;
  slow_peer.join();
  ASSERT_FALSE(result);
  EXPECT_EQ(
      result.error().to_string(),
      "ZeDidi control write blocked for 10 s: Resource temporarily unavailable (os error 11)");
  EXPECT_GE(took, std::chrono::milliseconds(300));
  EXPECT_LT(took, std::chrono::milliseconds(900));
}

TEST(ControlWriterTest, ClosedPeerEndsTheWriterWithTheSystemError) {
  auto [write_end, peer] = testing::socket_pair();
  peer.reset();
  testing::RecordingSink rec;
  auto [sender, receiver] = make_channel<Outgoing>();
  ASSERT_TRUE(sender.send(msg(Outgoing::Mode::kPlain, {1}, 1, 1)));
  control_writer_main(std::move(write_end), std::move(receiver), kKey, rec.sink());
  const auto err = rec.named("error");
  ASSERT_EQ(err.size(), 1u);
  EXPECT_EQ(err[0]["message"], "小米妙播控制命令发送失败：Broken pipe (os error 32)");
}

}  // namespace
}  // namespace sonvale
