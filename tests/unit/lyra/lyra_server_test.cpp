#include "lyra/lyra_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "lyra_test_frames.h"
#include "support/fake_clock.h"
#include "support/fake_datagram_socket.h"
#include "support/recording_sink.h"

namespace sonvale::lyra {
namespace {

using namespace std::chrono_literals;
using test::hex;

const SocketAddrV4 kPhone{Ipv4::from_octets(10, 1, 2, 3), 4567};
const LyraDevice kDevice{"1A2B3C4D", "Desk", "macOS", 3, 8899};

Bytes push(std::uint32_t sn, ByteSpan payload, std::uint32_t conv = 9) {
  return encode_segment(SegmentHeader{conv, kCmdPush, 0, 128, 0, sn, 0, 0}, payload);
}

// A fake socket that sets the stop flag after a given number of idle receives.
class StoppingSocket final : public DatagramSocket {
 public:
  StoppingSocket(testing::FakeDatagramSocket& inner, std::atomic<bool>& stop, int idle_limit)
      : inner_(inner), stop_(stop), idle_left_(idle_limit) {}
  Result<Datagram> receive(std::span<std::uint8_t> buf) override {
    const bool idle = inner_.inbox_size() == 0;
    auto r = inner_.receive(buf);
    if (idle && --idle_left_ <= 0) stop_.store(true);
    return r;
  }
  Result<> send_to(ByteSpan data, const SocketAddr& to) override { return inner_.send_to(data, to); }

 private:
  testing::FakeDatagramSocket& inner_;
  std::atomic<bool>& stop_;
  int idle_left_;
};

struct LoopRig {
  std::shared_ptr<testing::FakeClock> clock = testing::make_fake_clock();
  testing::FakeDatagramSocket fake{clock};
  std::atomic<bool> stop{false};
  testing::RecordingSink sink;
  EventSink events = sink.sink();

  void run(int idle_limit) {
    StoppingSocket socket(fake, stop, idle_limit);
    SegmentTransport transport(socket, clock, events,
                               [this](ByteSpan payload, PeerSession& session, SocketAddrV4 peer) {
                                 const FrameContext ctx{kDevice, *clock, peer, events};
                                 return handle_payload(payload, session, ctx);
                               });
    run_server(socket, transport, *clock, stop, events);
  }
};

TEST(RunServerTest, KeepAliveReplyResentInFakeTimeUntilItsEighthTransmission) {
  LoopRig rig;
  // The phone has acknowledged a reply before: only then are replies to it resent.
  rig.fake.queue(push(4, hex("0904000e1208120610043a026162")), kPhone);
  rig.fake.queue(encode_segment(SegmentHeader{9, kCmdAck, 0, 128, 0, 0, 1, 0}, {}), kPhone);
  rig.fake.queue(push(5, hex("0904000e1208120610043a026162")), kPhone);
  const auto start = rig.clock->now();
  rig.run(60);  // 3 s of idle receive time-outs
  ASSERT_EQ(rig.fake.sent().size(), 2u + 1u + 8u);
  const std::vector<testing::FakeDatagramSocket::Sent> sent(rig.fake.sent().begin() + 2, rig.fake.sent().end());
  ASSERT_EQ(sent.size(), 1u + 8u);  // the ack, then 8 transmissions of the reply
  const Bytes reply = sent[1].data;
  EXPECT_EQ(hex_lower(ByteSpan(reply).subspan(24)), "0904000e1208120610053a026162");
  for (std::size_t i = 2; i < sent.size(); ++i) EXPECT_EQ(sent[i].data, reply);
  auto resends = rig.sink.named("lyra_response_retransmit");
  ASSERT_EQ(resends.size(), 7u);
  EXPECT_EQ(resends.back()["count"], 8);
  EXPECT_EQ(rig.sink.named("lyra_packet_received").at(0)["bytes"], 38);
  EXPECT_GE(rig.clock->now() - start, 1750ms);
}

TEST(RunServerTest, ReceiveErrorIsReportedAndTheLoopGoesOn) {
  LoopRig rig;
  rig.fake.queue_error(ENETDOWN);
  rig.fake.queue_error(ETIMEDOUT);  // a time-out is silent
  rig.fake.queue(push(1, hex("0904000c1206120410043a00")), kPhone);
  rig.run(2);
  auto errors = rig.sink.named("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], (Json{{"event", "error"},
                             {"code", "zedidi_lyra_receive_failed"},
                             {"message", "Network is down (os error 100)"}}));
  EXPECT_EQ(rig.fake.sent().size(), 2u);
}

TEST(RunServerTest, AccountTooLongForAReplyGivesOneFrameErrorAndOnlyTheAck) {
  LoopRig rig;
  const Bytes request = test::sync_request(Bytes(65404, 0x41));
  rig.fake.queue(push(1, request), kPhone);
  rig.run(1);
  ASSERT_EQ(rig.fake.sent().size(), 1u);
  EXPECT_EQ(split_segments(rig.fake.sent()[0].data).at(0).header.cmd, kCmdAck);
  auto errors = rig.sink.named("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["code"], "zedidi_lyra_frame_failed");
  EXPECT_EQ(errors[0]["message"], "Lyra frame of 65536 bytes does not fit its 16-bit length");
}

TEST(RunServerTest, StopFlagSetBeforeStartEndsAtOnce) {
  LoopRig rig;
  rig.stop = true;
  rig.fake.queue(push(1, hex("0904000c1206120410043a00")), kPhone);
  rig.run(1);
  EXPECT_TRUE(rig.fake.sent().empty());
}

bool thread_named(const std::string& name) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) return true;
  }
  return false;
}

// A connected UDP client: after the server's socket closes, the kernel answers with port
// unreachable and the client's receive fails with ECONNREFUSED.
struct Client {
  UdpSocket socket = *UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0}));
  explicit Client(SocketAddrV4 server) {
    EXPECT_TRUE(socket.connect(SocketAddr(server)));
    EXPECT_TRUE(socket.set_recv_timeout(2s));
  }
  void send(ByteSpan b) { (void)socket.send(b); }
  Result<Bytes> recv() {
    Bytes buf(65535);
    SV_ASSIGN_OR_RETURN(const Datagram d, socket.receive(buf));
    buf.resize(d.size);
    return buf;
  }
};

TEST(LyraServerTest, ServesOnARealSocketAndClosesItAfterStop) {
  testing::RecordingSink sink;
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto port = start_lyra_server({{Ipv4::loopback(), 0}, kDevice, system_clock(), stop, sink.sink()});
  ASSERT_TRUE(port);
  auto ready = sink.wait_for_event("lyra_command_ready");
  ASSERT_TRUE(ready);
  EXPECT_EQ(*ready, (Json{{"event", "lyra_command_ready"},
                          {"protocol", "xiaomi_zedidi"},
                          {"address", "127.0.0.1:" + std::to_string(*port)},
                          {"external_service_required", false}}));
  EXPECT_TRUE(thread_named("sonvale-lyra-co"));

  Client client({Ipv4::loopback(), *port});
  client.send(push(1, hex("0904000c1206120410043a00")));
  auto ack = client.recv();
  auto reply = client.recv();
  ASSERT_TRUE(ack && reply);
  EXPECT_EQ(split_segments(*ack).at(0).header.cmd, kCmdAck);
  EXPECT_EQ(hex_lower(ByteSpan(*reply).subspan(24)), "0904000c1206120410053a00");

  stop->store(true);
  // The server ends within one receive time-out even while datagrams keep coming.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool refused = false;
  for (std::uint32_t sn = 100; !refused && std::chrono::steady_clock::now() < deadline; ++sn) {
    client.send(push(sn, hex("0904000c1206120410063a00")));
    std::this_thread::sleep_for(5ms);
    Bytes scratch(64);
    if (::recv(client.socket.fd(), scratch.data(), scratch.size(), MSG_DONTWAIT) < 0 &&
        errno == ECONNREFUSED) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace sonvale::lyra
