#pragma once

#include <chrono>
#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "core/error.h"
#include "core/net.h"

namespace sonvale {

// A bound IPv4 UDP socket as a server loop uses it. The production implementation wraps a
// descriptor; tests pass a scripted fake. Used from one thread at a time.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // Waits for one datagram, at most the socket's receive time-out; the expiry is an OS error of
  // kind kWouldBlock or kTimedOut.
  [[nodiscard]] virtual Result<Datagram> receive(std::span<std::uint8_t> buf) = 0;
  [[nodiscard]] virtual Result<> send_to(ByteSpan data, SocketAddrV4 to) = 0;
};

// A UDP socket bound to `addr` with a receive time-out, over the calls of core/net.h.
class UdpDatagramSocket final : public DatagramSocket {
 public:
  explicit UdpDatagramSocket(Fd fd) : fd_(std::move(fd)) {}
  [[nodiscard]] Result<Datagram> receive(std::span<std::uint8_t> buf) override;
  [[nodiscard]] Result<> send_to(ByteSpan data, SocketAddrV4 to) override;
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
};

}  // namespace sonvale
