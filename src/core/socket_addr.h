#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/net.h"

namespace sonvale {

// An IPv4 or IPv6 socket address.
class SocketAddr {
 public:
  SocketAddr() = default;
  explicit SocketAddr(SocketAddrV4 v4);
  explicit SocketAddr(const sockaddr_in6& v6);
  // An IPv6 socket address with flow information 0.
  static SocketAddr v6(const in6_addr& ip, std::uint16_t port, std::uint32_t scope_id);
  // The address a system call filled in; nullopt for families other than IPv4 and IPv6.
  static std::optional<SocketAddr> from_storage(const sockaddr_storage& storage);

  // "a.b.c.d:port" or "[v6]:port" (no scope ids, no host names).
  static std::optional<SocketAddr> parse(std::string_view text);

  bool is_v6() const { return storage_.ss_family == AF_INET6; }
  std::uint16_t port() const;
  // "a.b.c.d:port", or "[v6]:port" with the standard lowercase, "::"-compressed IPv6 form and,
  // when the scope id is not 0, "%" and the scope id in decimal inside the brackets.
  std::string to_string() const;
  // The IPv4 form; nullopt for an IPv6 address.
  std::optional<SocketAddrV4> as_v4() const;

  const sockaddr* raw() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t raw_len() const;
  int family() const { return storage_.ss_family; }

 private:
  sockaddr_storage storage_{};
};

// The standard text form of an IPv6 address (RFC 5952).
std::string ipv6_to_string(const in6_addr& addr);

// Connects within `timeout`; a time-out fails with ETIMEDOUT. The socket returned is blocking.
// While the connection is still pending, `abandoned` is asked every 50 ms; once it says yes the
// attempt fails with ECANCELED. A peer that answers within the first 50 ms is always connected.
[[nodiscard]] Result<Fd> tcp_connect_timeout(const SocketAddr& addr,
                                             std::chrono::milliseconds timeout,
                                             const std::function<bool()>& abandoned = {});

}  // namespace sonvale
