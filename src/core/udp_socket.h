#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/error.h"
#include "core/net.h"
#include "core/socket_addr.h"

namespace sonvale {

// One received datagram.
struct Datagram {
  std::size_t size = 0;       // bytes stored in the buffer (a longer datagram is cut)
  std::size_t wire_size = 0;  // the datagram's length; larger than `size` when it was cut
  SocketAddr from;
  // The IPv4 destination address of the datagram's header, when IP_PKTINFO is enabled on the
  // socket and the datagram carried it.
  std::optional<Ipv4> destination;
};

// A UDP socket as a receive loop uses it. The production implementation is `UdpSocket`; tests
// pass a scripted fake. Used from one thread at a time.
class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // Waits for one datagram, at most the socket's receive time-out; the expiry is an OS error of
  // kind kWouldBlock or kTimedOut.
  [[nodiscard]] virtual Result<Datagram> receive(std::span<std::uint8_t> buf) = 0;
  [[nodiscard]] virtual Result<> send_to(ByteSpan data, const SocketAddr& to) = 0;
};

// Owns one UDP socket (IPv4 or IPv6) and closes it on destruction. Every call retries EINTR;
// sends never raise SIGPIPE. Errors are the system's, without context: callers add theirs.
class UdpSocket final : public DatagramSocket {
 public:
  // No socket; `valid()` is false.
  UdpSocket() = default;
  // A socket of `family` (AF_INET or AF_INET6), datagram, protocol UDP, close-on-exec.
  [[nodiscard]] static Result<UdpSocket> open(int family);
  // A socket of the address's family bound to it.
  [[nodiscard]] static Result<UdpSocket> bound(const SocketAddr& addr);

  [[nodiscard]] Result<> set_option(int level, int name, int value) const;
  // One integer option and the context its failure carries.
  struct Option {
    int level;
    int name;
    int value;
    const char* context;
  };
  // Sets the options in order; the first failure ends it, with its option's context.
  [[nodiscard]] Result<> set_options(std::initializer_list<Option> options) const;
  [[nodiscard]] Result<> set_option_raw(int level, int name, const void* value,
                                        socklen_t size) const;
  [[nodiscard]] Result<> set_recv_timeout(std::chrono::microseconds timeout) const;
  [[nodiscard]] Result<> set_send_timeout(std::chrono::microseconds timeout) const;
  [[nodiscard]] Result<> bind(const SocketAddr& addr) const;
  // Fixes the peer: `send` goes there, and only its datagrams are received.
  [[nodiscard]] Result<> connect(const SocketAddr& addr) const;
  [[nodiscard]] Result<SocketAddr> local_address() const;

  [[nodiscard]] Result<> send_to(ByteSpan data, const SocketAddr& to) override;
  // Sends to the connected peer; reports the bytes sent.
  [[nodiscard]] Result<std::size_t> send(ByteSpan data) const;
  // Waits for one datagram (bounded by the receive time-out); reports the bytes received.
  [[nodiscard]] Result<Datagram> receive(std::span<std::uint8_t> buf) override;

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  void close() { fd_.reset(); }

 private:
  explicit UdpSocket(Fd fd) : fd_(std::move(fd)) {}
  Fd fd_;
};

// True for the failures a receive loop simply goes round again after: the receive time-out and an
// interruption.
bool is_idle_receive(const Error& error);

// One turn of a receive loop: waits for one datagram. An idle receive (see above) gives nullopt
// at once; any other failure is handed to `report`, then the calling thread pauses for
// `failure_pause`, and the result is nullopt.
std::optional<Datagram> receive_or_report(DatagramSocket& socket, std::span<std::uint8_t> buf,
                                          std::chrono::milliseconds failure_pause,
                                          const std::function<void(const Error&)>& report);

}  // namespace sonvale
