#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "core/udp_socket.h"
#include "support/fake_clock.h"

namespace sonvale::testing {

// A DatagramSocket that records what is sent and hands out scripted datagrams. When nothing is
// queued, a receive advances the fake clock (if any) by the receive time-out and fails as a
// time-out would; `queue_idle` scripts such a time-out between datagrams.
class FakeDatagramSocket final : public DatagramSocket {
 public:
  struct Sent {
    Bytes data;
    SocketAddrV4 to;
  };

  explicit FakeDatagramSocket(std::shared_ptr<FakeClock> clock = nullptr,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(50))
      : clock_(std::move(clock)), timeout_(timeout) {}

  // `destination` is the address the datagram was sent to, as IP_PKTINFO reports it.
  void queue(Bytes datagram, SocketAddrV4 from, std::optional<Ipv4> destination = std::nullopt) {
    inbox_.push_back({std::move(datagram), from, destination, false});
  }
  // A receive time-out in the order of the queued datagrams.
  void queue_idle() { inbox_.push_back({{}, {}, std::nullopt, true}); }
  // The next receive fails with this OS error (before any queued datagram).
  void queue_error(int errnum) { errors_.push_back(errnum); }
  void fail_sends(bool on) { fail_sends_ = on; }
  // Sets `flag` at the first receive that finds nothing scripted, so that a loop reading the flag
  // ends once the script is played.
  void stop_when_drained(std::shared_ptr<std::atomic<bool>> flag) { stop_ = std::move(flag); }

  Result<Datagram> receive(std::span<std::uint8_t> buf) override {
    receive_times_.push_back(std::chrono::steady_clock::now());
    if (!errors_.empty()) {
      const int e = errors_.front();
      errors_.pop_front();
      return fail(Error::os(e));
    }
    if (inbox_.empty() && stop_) stop_->store(true);
    if (inbox_.empty() || inbox_.front().idle) {
      if (!inbox_.empty()) inbox_.pop_front();
      if (clock_) clock_->advance(timeout_);
      return fail(Error::os(EAGAIN));
    }
    Inbound d = std::move(inbox_.front());
    inbox_.pop_front();
    const std::size_t n = std::min(buf.size(), d.data.size());
    std::copy_n(d.data.begin(), n, buf.begin());
    return Datagram{n, d.data.size(), SocketAddr(d.from), d.destination};
  }

  Result<> send_to(ByteSpan data, const SocketAddr& to) override {
    sent_.push_back({Bytes(data.begin(), data.end()), to.as_v4().value_or(SocketAddrV4{})});
    if (fail_sends_) return fail(Error::os(EPERM));
    return {};
  }

  std::vector<Sent>& sent() { return sent_; }
  std::size_t inbox_size() const { return inbox_.size(); }
  // The real (steady) time at which each receive was called.
  const std::vector<std::chrono::steady_clock::time_point>& receive_times() const {
    return receive_times_;
  }

 private:
  struct Inbound {
    Bytes data;
    SocketAddrV4 from;
    std::optional<Ipv4> destination;
    bool idle;
  };

  std::shared_ptr<FakeClock> clock_;
  std::chrono::milliseconds timeout_;
  std::deque<Inbound> inbox_;
  std::deque<int> errors_;
  std::vector<Sent> sent_;
  std::vector<std::chrono::steady_clock::time_point> receive_times_;
  std::shared_ptr<std::atomic<bool>> stop_;
  bool fail_sends_ = false;
};

}  // namespace sonvale::testing
