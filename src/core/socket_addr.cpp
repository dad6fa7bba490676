#include "core/socket_addr.h"

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace sonvale {
namespace {

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value > 65535) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace

SocketAddr::SocketAddr(SocketAddrV4 v4) {
  const sockaddr_in sa = v4.to_sockaddr();
  std::memcpy(&storage_, &sa, sizeof sa);
}

SocketAddr::SocketAddr(const sockaddr_in6& v6) { std::memcpy(&storage_, &v6, sizeof v6); }

SocketAddr SocketAddr::v6(const in6_addr& ip, std::uint16_t port, std::uint32_t scope_id) {
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  sa.sin6_addr = ip;
  sa.sin6_scope_id = scope_id;
  return SocketAddr(sa);
}

std::optional<SocketAddr> SocketAddr::from_storage(const sockaddr_storage& storage) {
  if (storage.ss_family == AF_INET) {
    sockaddr_in sa{};
    std::memcpy(&sa, &storage, sizeof sa);
    return SocketAddr(SocketAddrV4::from_sockaddr(sa));
  }
  if (storage.ss_family == AF_INET6) {
    sockaddr_in6 sa{};
    std::memcpy(&sa, &storage, sizeof sa);
    return SocketAddr(sa);
  }
  return std::nullopt;
}

std::optional<SocketAddrV4> SocketAddr::as_v4() const {
  if (storage_.ss_family != AF_INET) return std::nullopt;
  sockaddr_in sa{};
  std::memcpy(&sa, &storage_, sizeof sa);
  return SocketAddrV4::from_sockaddr(sa);
}

std::optional<SocketAddr> SocketAddr::parse(std::string_view text) {
  SocketAddr out;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return std::nullopt;
    }
    const std::string host(text.substr(1, close - 1));
    auto port = parse_port(text.substr(close + 2));
    if (!port) return std::nullopt;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(*port);
    if (inet_pton(AF_INET6, host.c_str(), &sa.sin6_addr) != 1) return std::nullopt;
    std::memcpy(&out.storage_, &sa, sizeof sa);
    return out;
  }
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto ip = Ipv4::parse(text.substr(0, colon));
  auto port = parse_port(text.substr(colon + 1));
  if (!ip || !port) return std::nullopt;
  return SocketAddr(SocketAddrV4{*ip, *port});
}

std::uint16_t SocketAddr::port() const {
  if (is_v6()) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

socklen_t SocketAddr::raw_len() const {
  return is_v6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::string ipv6_to_string(const in6_addr& addr) {
  char buf[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &addr, buf, sizeof buf);
  return buf;
}

std::string SocketAddr::to_string() const {
  if (is_v6()) {
    sockaddr_in6 sa{};
    std::memcpy(&sa, &storage_, sizeof sa);
    std::string host = ipv6_to_string(sa.sin6_addr);
    if (sa.sin6_scope_id != 0) host += "%" + std::to_string(sa.sin6_scope_id);
    return "[" + host + "]:" + std::to_string(port());
  }
  sockaddr_in sa{};
  std::memcpy(&sa, &storage_, sizeof sa);
  return SocketAddrV4::from_sockaddr(sa).to_string();
}

Result<Fd> tcp_connect_timeout(const SocketAddr& addr, std::chrono::milliseconds timeout,
                               const std::function<bool()>& abandoned) {
  constexpr std::chrono::milliseconds kAbandonCheck{50};
  const int raw = ::socket(addr.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (raw < 0) return fail(Error::last_os());
  Fd fd(raw);
  if (::connect(fd.get(), addr.raw(), addr.raw_len()) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return fail(Error::last_os());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return fail(Error::os(ETIMEDOUT));
      pollfd p{fd.get(), POLLOUT, 0};
      const auto wait = abandoned ? std::min(left, kAbandonCheck) : left;
      const int n = ::poll(&p, 1, static_cast<int>(wait.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail(Error::last_os());
      if (n == 0) {
        if (abandoned && abandoned()) return fail(Error::os(ECANCELED));
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return fail(Error::last_os());
      if (err != 0) return fail(Error::os(err));
      break;
    }
  }
  SV_TRY(set_nonblocking(fd.get(), false));
  return fd;
}

}  // namespace sonvale
