#include "core/udp_socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace sonvale {

Result<UdpSocket> UdpSocket::open(int family) {
  const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return fail(Error::last_os());
  return UdpSocket(Fd(fd));
}

Result<UdpSocket> UdpSocket::bound(const SocketAddr& addr) {
  SV_ASSIGN_OR_RETURN(UdpSocket s, open(addr.family()));
  SV_TRY(s.bind(addr));
  return s;
}

Result<> UdpSocket::set_option(int level, int name, int value) const {
  return set_option_raw(level, name, &value, sizeof value);
}

Result<> UdpSocket::set_options(std::initializer_list<Option> options) const {
  for (const Option& o : options) SV_TRY(with_context(set_option(o.level, o.name, o.value), o.context));
  return {};
}

Result<> UdpSocket::set_option_raw(int level, int name, const void* value, socklen_t size) const {
  if (::setsockopt(fd_.get(), level, name, value, size) != 0) return fail(Error::last_os());
  return {};
}

Result<> UdpSocket::set_recv_timeout(std::chrono::microseconds timeout) const {
  return sonvale::set_recv_timeout(fd_.get(), timeout);
}

Result<> UdpSocket::set_send_timeout(std::chrono::microseconds timeout) const {
  return sonvale::set_send_timeout(fd_.get(), timeout);
}

Result<> UdpSocket::bind(const SocketAddr& addr) const {
  if (::bind(fd_.get(), addr.raw(), addr.raw_len()) != 0) return fail(Error::last_os());
  return {};
}

Result<> UdpSocket::connect(const SocketAddr& addr) const {
  while (::connect(fd_.get(), addr.raw(), addr.raw_len()) != 0) {
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
  return {};
}

Result<SocketAddr> UdpSocket::local_address() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    return fail(Error::last_os());
  }
  auto addr = SocketAddr::from_storage(ss);
  if (!addr) return fail(Error::os(EAFNOSUPPORT));
  return *addr;
}

Result<> UdpSocket::send_to(ByteSpan data, const SocketAddr& to) {
  for (;;) {
    const ssize_t n = ::sendto(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL, to.raw(),
                               to.raw_len());
    if (n >= 0) return {};
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
}

Result<std::size_t> UdpSocket::send(ByteSpan data) const {
  for (;;) {
    const ssize_t n = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return fail(Error::last_os());
  }
}

Result<Datagram> UdpSocket::receive(std::span<std::uint8_t> buf) {
  for (;;) {
    sockaddr_storage ss{};
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &ss;
    msg.msg_namelen = sizeof ss;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    // No MSG_TRUNC in the flags: the size reported is what was stored. The kernel still marks a
    // cut datagram in msg_flags, without its full length.
    const ssize_t n = ::recvmsg(fd_.get(), &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error::last_os());
    }
    Datagram out;
    out.size = static_cast<std::size_t>(n);
    out.wire_size = out.size;
    if ((msg.msg_flags & MSG_TRUNC) != 0) out.wire_size = buf.size() + 1;
    if (auto from = SocketAddr::from_storage(ss)) out.from = *from;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
          c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        out.destination = Ipv4::from_in_addr(info.ipi_addr);
      }
    }
    return out;
  }
}

bool is_idle_receive(const Error& error) {
  const IoKind kind = error.io_kind();
  return kind == IoKind::kWouldBlock || kind == IoKind::kTimedOut || kind == IoKind::kInterrupted;
}

std::optional<Datagram> receive_or_report(DatagramSocket& socket, std::span<std::uint8_t> buf,
                                          std::chrono::milliseconds failure_pause,
                                          const std::function<void(const Error&)>& report) {
  auto got = socket.receive(buf);
  if (got) return std::move(*got);
  if (is_idle_receive(got.error())) return std::nullopt;
  report(got.error());
  std::this_thread::sleep_for(failure_pause);
  return std::nullopt;
}

}  // namespace sonvale
