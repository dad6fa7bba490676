#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/error.h"
#include "core/net.h"
#include "core/socket_addr.h"

namespace sonvale {

// One received datagram.
struct UdpReceived {
  std::size_t size = 0;  // bytes received (at most the buffer's size; a longer datagram is cut)
  SocketAddr from;
  // The IPv4 destination address of the datagram's header, when IP_PKTINFO is enabled on the
  // socket and the datagram carried it.
  std::optional<Ipv4> destination;
};

// Owns one UDP socket (IPv4 or IPv6) and closes it on destruction. Every call retries EINTR;
// sends never raise SIGPIPE. Errors are the system's, without context: callers add theirs.
class UdpSocket {
 public:
  // No socket; `valid()` is false.
  UdpSocket() = default;
  // A socket of `family` (AF_INET or AF_INET6), datagram, protocol UDP, close-on-exec.
  [[nodiscard]] static Result<UdpSocket> open(int family);

  [[nodiscard]] Result<> set_option(int level, int name, int value) const;
  [[nodiscard]] Result<> set_option_raw(int level, int name, const void* value,
                                        socklen_t size) const;
  [[nodiscard]] Result<> set_recv_timeout(std::chrono::microseconds timeout) const;
  [[nodiscard]] Result<> bind(const SocketAddr& addr) const;
  [[nodiscard]] Result<SocketAddr> local_address() const;

  [[nodiscard]] Result<std::size_t> send_to(ByteSpan data, const SocketAddr& to) const;
  // Waits for one datagram (bounded by the receive time-out); reports the bytes received.
  [[nodiscard]] Result<UdpReceived> receive(std::span<std::uint8_t> buf) const;

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void close() { fd_.reset(); }

 private:
  explicit UdpSocket(Fd fd) : fd_(std::move(fd)) {}
  Fd fd_;
};

}  // namespace sonvale
