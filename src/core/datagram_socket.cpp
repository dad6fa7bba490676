#include "core/datagram_socket.h"

namespace sonvale {

Result<Datagram> UdpDatagramSocket::receive(std::span<std::uint8_t> buf) {
  return udp_recv_from(fd_.get(), buf);
}

Result<> UdpDatagramSocket::send_to(ByteSpan data, SocketAddrV4 to) {
  SV_TRY(udp_send_to(fd_.get(), data, to));
  return {};
}

}  // namespace sonvale
