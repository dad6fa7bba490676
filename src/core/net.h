#pragma once

#include <netinet/in.h>

struct ifaddrs;

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace sonvale {

// An IPv4 address in host byte order.
struct Ipv4 {
  std::uint32_t value = 0;

  static constexpr Ipv4 from_octets(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                    std::uint8_t d) {
    return Ipv4{(std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d};
  }
  static constexpr Ipv4 loopback() { return from_octets(127, 0, 0, 1); }
  static constexpr Ipv4 unspecified() { return Ipv4{0}; }
  // Strict dotted decimal: four fields 0..255, no leading zeros, no signs, no whitespace.
  static std::optional<Ipv4> parse(std::string_view text);

  std::uint8_t octet(int i) const { return static_cast<std::uint8_t>(value >> (24 - 8 * i)); }
  bool is_loopback() const { return (value >> 24) == 127; }
  std::string to_string() const;
  in_addr to_in_addr() const;
  static Ipv4 from_in_addr(in_addr a);

  friend bool operator==(Ipv4, Ipv4) = default;
};

struct SocketAddrV4 {
  Ipv4 ip;
  std::uint16_t port = 0;
  std::string to_string() const { return ip.to_string() + ":" + std::to_string(port); }
  sockaddr_in to_sockaddr() const;
  static SocketAddrV4 from_sockaddr(const sockaddr_in& sa);
  friend bool operator==(const SocketAddrV4&, const SocketAddrV4&) = default;
};

// Owns one file descriptor and closes it on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset();
  // A second descriptor for the same socket (dup with close-on-exec).
  [[nodiscard]] Result<Fd> duplicate() const;

 private:
  int fd_ = -1;
};

// Socket set-up and I/O. Every call retries EINTR; writes never raise SIGPIPE.
[[nodiscard]] Result<Fd> tcp_listen(SocketAddrV4 addr, int backlog, bool reuse_addr);
[[nodiscard]] Result<Fd> tcp_connect(SocketAddrV4 addr);
[[nodiscard]] Result<> set_nonblocking(int fd, bool on);
[[nodiscard]] Result<> set_recv_timeout(int fd, std::chrono::microseconds timeout);
[[nodiscard]] Result<> set_send_timeout(int fd, std::chrono::microseconds timeout);
// The socket's send time-out (SO_SNDTIMEO); 0 when it has none.
[[nodiscard]] Result<std::chrono::microseconds> send_timeout(int fd);
// Turns Nagle's algorithm off (TCP_NODELAY); best effort, a failure is ignored.
void set_tcp_nodelay(int fd);
// TCP keepalive: probes after `idle` without traffic, then every `interval`; the connection
// fails with ETIMEDOUT after `count` unanswered probes.
[[nodiscard]] Result<> set_tcp_keepalive(int fd, std::chrono::seconds idle,
                                         std::chrono::seconds interval, int count);
[[nodiscard]] Result<SocketAddrV4> local_address(int fd);
[[nodiscard]] Result<SocketAddrV4> peer_address(int fd);

struct Accepted {
  Fd fd;
  SocketAddrV4 peer;
};
// Accepts one connection; EAGAIN comes back as an OS error of kind kWouldBlock.
[[nodiscard]] Result<Accepted> accept_connection(int listen_fd);

// Reads what is available (at least 1 byte unless the peer closed: then 0).
[[nodiscard]] Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buf);
// As read_some, but a read that finds nothing until `deadline` fails with ETIMEDOUT.
[[nodiscard]] Result<std::size_t> read_some_by(int fd, std::span<std::uint8_t> buf,
                                               std::chrono::steady_clock::time_point deadline);
// read_some without a deadline, read_some_by with one.
[[nodiscard]] Result<std::size_t> read_some_until(
    int fd, std::span<std::uint8_t> buf,
    std::optional<std::chrono::steady_clock::time_point> deadline);
// Fills `buf` completely; end of stream first gives Error::unexpected_eof().
[[nodiscard]] Result<> read_exact(int fd, std::span<std::uint8_t> buf);
[[nodiscard]] Result<> write_all(int fd, ByteSpan data);
// Writes all of `data` to a socket, blocking or not, unless `deadline` passes first: the write
// then fails with EAGAIN, as a write does whose socket send time-out expired. While the write
// waits, `abandoned` (when given) is asked every 50 ms; once it says yes the write fails with
// ECANCELED.
[[nodiscard]] Result<> write_all_by(int fd, ByteSpan data,
                                    std::chrono::steady_clock::time_point deadline,
                                    const std::function<bool()>& abandoned = {});
// Shuts both directions down, which wakes a reader blocked on the socket. Errors are ignored.
void shutdown_both(int fd);

// Shuts a socket down in both directions when it goes out of scope, however the scope is left, so
// that the peer sees the connection end even while another descriptor of the same socket (one
// kept to wake this reader) is still open. Does not own the descriptor.
class ShutdownAtExit {
 public:
  explicit ShutdownAtExit(int fd) : fd_(fd) {}
  ShutdownAtExit(const ShutdownAtExit&) = delete;
  ShutdownAtExit& operator=(const ShutdownAtExit&) = delete;
  ~ShutdownAtExit() { shutdown_both(fd_); }

 private:
  int fd_;
};

// One interface address as the system lists it: an interface with several addresses appears
// once per address, in the system's order.
struct InterfaceAddress {
  std::string name;
  bool is_ipv6 = false;
  Ipv4 v4;
  in6_addr v6{};
  // IPv4 only: the network mask, and the broadcast address when the interface has one of its
  // own (IFF_BROADCAST set and the address neither the entry's own nor 0.0.0.0).
  std::optional<Ipv4> netmask;
  std::optional<Ipv4> broadcast;
};
[[nodiscard]] Result<std::vector<InterfaceAddress>> list_interface_addresses();

// One getifaddrs entry as an InterfaceAddress; nullopt for entries without a name or address
// and for families other than IPv4 and IPv6 (AF_PACKET, ...).
std::optional<InterfaceAddress> interface_address_from_ifaddrs(const struct ifaddrs& entry);

// The host's interface list, as a seam: production code uses `system_interfaces()`, tests a
// fake. Implementations are thread-safe.
class InterfaceLister {
 public:
  virtual ~InterfaceLister() = default;
  // Every address entry in the system's order (Linux: all IPv4 entries, then all IPv6 ones).
  [[nodiscard]] virtual Result<std::vector<InterfaceAddress>> list() const = 0;
  // if_nametoindex of the name; 0 when the system knows none or the name holds a zero byte.
  // An alias name such as "eth0:1" maps to its interface's index.
  virtual std::uint32_t index_of(std::string_view name) const = 0;
};

// getifaddrs and if_nametoindex. Never null; the same object for the whole process.
const std::shared_ptr<const InterfaceLister>& system_interfaces();

}  // namespace sonvale
