#include "core/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/stream_read.h"

namespace sonvale {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

timeval to_timeval(std::chrono::microseconds t) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(t.count() / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(t.count() % 1'000'000);
  return tv;
}

Result<Fd> new_socket(int type) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(Error::last_os());
  return Fd(fd);
}

Result<> bind_to(int fd, SocketAddrV4 addr) {
  const sockaddr_in sa = addr.to_sockaddr();
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return fail(Error::last_os());
  }
  return {};
}

}  // namespace

std::optional<Ipv4> Ipv4::parse(std::string_view text) {
  std::uint32_t value = 0;
  int fields = 0;
  std::size_t i = 0;
  while (fields < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    const std::size_t start = i;
    std::uint32_t field = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      field = field * 10 + static_cast<std::uint32_t>(text[i] - '0');
      if (field > 255 || i - start >= 3) return std::nullopt;
      ++i;
    }
    if (i - start > 1 && text[start] == '0') return std::nullopt;
    value = (value << 8) | field;
    ++fields;
    if (fields < 4) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
  }
  if (i != text.size()) return std::nullopt;
  return Ipv4{value};
}

std::string Ipv4::to_string() const {
  return std::to_string(octet(0)) + "." + std::to_string(octet(1)) + "." +
         std::to_string(octet(2)) + "." + std::to_string(octet(3));
}

in_addr Ipv4::to_in_addr() const {
  in_addr a{};
  a.s_addr = htonl(value);
  return a;
}

Ipv4 Ipv4::from_in_addr(in_addr a) { return Ipv4{ntohl(a.s_addr)}; }

sockaddr_in SocketAddrV4::to_sockaddr() const {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = ip.to_in_addr();
  return sa;
}

SocketAddrV4 SocketAddrV4::from_sockaddr(const sockaddr_in& sa) {
  return SocketAddrV4{Ipv4::from_in_addr(sa.sin_addr), ntohs(sa.sin_port)};
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<Fd> Fd::duplicate() const {
  const int d = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (d < 0) return fail(Error::last_os());
  return Fd(d);
}

Result<Fd> tcp_listen(SocketAddrV4 addr, int backlog, bool reuse_addr) {
  SV_ASSIGN_OR_RETURN(Fd fd, new_socket(SOCK_STREAM));
  if (reuse_addr) {
    const int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
      return fail(Error::last_os());
    }
  }
  SV_TRY(bind_to(fd.get(), addr));
  if (::listen(fd.get(), backlog) != 0) return fail(Error::last_os());
  return fd;
}

Result<Fd> tcp_connect(SocketAddrV4 addr) {
  SV_ASSIGN_OR_RETURN(Fd fd, new_socket(SOCK_STREAM));
  const sockaddr_in sa = addr.to_sockaddr();
  while (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
  return fd;
}

Result<> set_nonblocking(int fd, bool on) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return fail(Error::last_os());
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return fail(Error::last_os());
  return {};
}

Result<> set_recv_timeout(int fd, std::chrono::microseconds timeout) {
  const timeval tv = to_timeval(timeout);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return fail(Error::last_os());
  return {};
}

Result<> set_send_timeout(int fd, std::chrono::microseconds timeout) {
  const timeval tv = to_timeval(timeout);
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return fail(Error::last_os());
  return {};
}

Result<std::chrono::microseconds> send_timeout(int fd) {
  timeval tv{};
  socklen_t len = sizeof tv;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) return fail(Error::last_os());
  return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
}

void set_tcp_nodelay(int fd) {
  const int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Result<> set_tcp_keepalive(int fd, std::chrono::seconds idle, std::chrono::seconds interval,
                           int count) {
  const int on = 1;
  const int idle_s = static_cast<int>(idle.count());
  const int interval_s = static_cast<int>(interval.count());
  if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return fail(Error::last_os());
#if defined(__APPLE__)
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPALIVE, &idle_s, sizeof idle_s) != 0) {
#else
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) != 0) {
#endif
    return fail(Error::last_os());
  }
  if (::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) != 0 ||
      ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    return fail(Error::last_os());
  }
  return {};
}

Result<SocketAddrV4> local_address(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(Error::last_os());
  return SocketAddrV4::from_sockaddr(sa);
}

Result<SocketAddrV4> peer_address(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return fail(Error::last_os());
  return SocketAddrV4::from_sockaddr(sa);
}

Result<Accepted> accept_connection(int listen_fd) {
  for (;;) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd >= 0) return Accepted{Fd(fd), SocketAddrV4::from_sockaddr(sa)};
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
}

Result<std::size_t> read_some(int fd, std::span<std::uint8_t> buf) {
  for (;;) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
}

namespace {

// Waits until `fd` is ready for `events` or `deadline` passes (false), checking `abandoned`, when
// given, every 50 ms (ECANCELED once it says yes).
Result<bool> wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline,
                        const std::function<bool()>& abandoned) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kAbandonCheck{50};
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    // Rounded up, so that the wait never ends before the deadline.
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(left);
    if (abandoned) wait = std::min(wait, kAbandonCheck);
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    if (abandoned && abandoned()) return fail(Error::os(ECANCELED));
  }
}

}  // namespace

Result<std::size_t> read_some_by(int fd, std::span<std::uint8_t> buf,
                                 std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(Error::last_os());
    SV_ASSIGN_OR_RETURN(const bool ready, wait_ready(fd, POLLIN, deadline, {}));
    if (!ready) return fail(Error::os(ETIMEDOUT));
  }
}

Result<std::size_t> read_some_until(int fd, std::span<std::uint8_t> buf,
                                    std::optional<std::chrono::steady_clock::time_point> deadline) {
  return deadline ? read_some_by(fd, buf, *deadline) : read_some(fd, buf);
}

Result<> read_exact(int fd, std::span<std::uint8_t> buf) {
  return read_exactly([fd](std::span<std::uint8_t> b, std::optional<Clock::time_point> deadline) {
    return read_some_until(fd, b, deadline);
  }, buf);
}

Result<> write_all(int fd, ByteSpan data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, kNoSignal);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    sent += static_cast<std::size_t>(n);
  }
  return {};
}

Result<> write_all_by(int fd, ByteSpan data, std::chrono::steady_clock::time_point deadline,
                      const std::function<bool()>& abandoned) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, kNoSignal | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(Error::last_os());
    SV_ASSIGN_OR_RETURN(const bool ready, wait_ready(fd, POLLOUT, deadline, abandoned));
    if (!ready) return fail(Error::os(EAGAIN));
  }
  return {};
}

void shutdown_both(int fd) { (void)::shutdown(fd, SHUT_RDWR); }

std::optional<InterfaceAddress> interface_address_from_ifaddrs(const ifaddrs& entry) {
  if (entry.ifa_addr == nullptr || entry.ifa_name == nullptr) return std::nullopt;
  InterfaceAddress out;
  out.name = entry.ifa_name;
  if (entry.ifa_addr->sa_family == AF_INET) {
    auto v4_of = [](const sockaddr* sa) -> std::optional<Ipv4> {
      if (sa == nullptr || sa->sa_family != AF_INET) return std::nullopt;
      sockaddr_in sin{};
      std::memcpy(&sin, sa, sizeof sin);
      return Ipv4::from_in_addr(sin.sin_addr);
    };
    out.v4 = *v4_of(entry.ifa_addr);
    out.netmask = v4_of(entry.ifa_netmask);
    // glibc fills ifa_broadaddr (the union with ifa_dstaddr) also for interfaces without a
    // broadcast address: loopback gives 127.0.0.1, a /32 or an alias without "brd" its own
    // address. Only a distinct address on a broadcast-capable interface counts.
    if ((entry.ifa_flags & IFF_BROADCAST) != 0) {
      const auto brd = v4_of(entry.ifa_broadaddr);
      if (brd && *brd != out.v4 && *brd != Ipv4::unspecified()) out.broadcast = brd;
    }
    return out;
  }
  if (entry.ifa_addr->sa_family == AF_INET6) {
    sockaddr_in6 sa{};
    std::memcpy(&sa, entry.ifa_addr, sizeof sa);
    out.is_ipv6 = true;
    out.v6 = sa.sin6_addr;
    return out;
  }
  return std::nullopt;
}

Result<std::vector<InterfaceAddress>> list_interface_addresses() {
  ifaddrs* head = nullptr;
  if (::getifaddrs(&head) != 0) return fail(Error::last_os());
  std::vector<InterfaceAddress> out;
  for (ifaddrs* it = head; it != nullptr; it = it->ifa_next) {
    if (auto entry = interface_address_from_ifaddrs(*it)) out.push_back(std::move(*entry));
  }
  ::freeifaddrs(head);
  return out;
}

namespace {

class SystemInterfaces final : public InterfaceLister {
 public:
  Result<std::vector<InterfaceAddress>> list() const override { return list_interface_addresses(); }
  std::uint32_t index_of(std::string_view name) const override {
    if (name.find('\0') != std::string_view::npos) return 0;
    return ::if_nametoindex(std::string(name).c_str());
  }
};

}  // namespace

const std::shared_ptr<const InterfaceLister>& system_interfaces() {
  static const auto* const kSystem =
      new std::shared_ptr<const InterfaceLister>(std::make_shared<SystemInterfaces>());
  return *kSystem;
}

}  // namespace sonvale
