#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "core/udp_socket.h"
#include "support/fake_clock.h"

namespace sonvale::testing {

// A DatagramSocket that records what is sent and hands out scripted datagrams. When nothing is
// queued, a receive advances the fake clock (if any) by the receive time-out and fails as a
// time-out would.
class FakeDatagramSocket final : public DatagramSocket {
 public:
  struct Sent {
    Bytes data;
    SocketAddrV4 to;
  };

  explicit FakeDatagramSocket(std::shared_ptr<FakeClock> clock = nullptr,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(50))
      : clock_(std::move(clock)), timeout_(timeout) {}

  void queue(Bytes datagram, SocketAddrV4 from) { inbox_.push_back({std::move(datagram), from}); }
  // The next receive fails with this OS error.
  void queue_error(int errnum) { errors_.push_back(errnum); }
  void fail_sends(bool on) { fail_sends_ = on; }

  Result<Datagram> receive(std::span<std::uint8_t> buf) override {
    if (!errors_.empty()) {
      const int e = errors_.front();
      errors_.pop_front();
      return fail(Error::os(e));
    }
    if (inbox_.empty()) {
      if (clock_) clock_->advance(timeout_);
      return fail(Error::os(EAGAIN));
    }
    Sent d = std::move(inbox_.front());
    inbox_.pop_front();
    const std::size_t n = std::min(buf.size(), d.data.size());
    std::copy_n(d.data.begin(), n, buf.begin());
    return Datagram{n, d.data.size(), SocketAddr(d.to), std::nullopt};
  }

  Result<> send_to(ByteSpan data, const SocketAddr& to) override {
    sent_.push_back({Bytes(data.begin(), data.end()), to.as_v4().value_or(SocketAddrV4{})});
    if (fail_sends_) return fail(Error::os(EPERM));
    return {};
  }

  std::vector<Sent>& sent() { return sent_; }
  std::size_t inbox_size() const { return inbox_.size(); }

 private:
  std::shared_ptr<FakeClock> clock_;
  std::chrono::milliseconds timeout_;
  std::deque<Sent> inbox_;
  std::deque<int> errors_;
  std::vector<Sent> sent_;
  bool fail_sends_ = false;
};

}  // namespace sonvale::testing
