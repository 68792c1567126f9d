#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "host_support/loopback_socket.h"

namespace zep::host {

namespace {

socklen_t LoopbackAddress(bool ipv6, uint16_t port, sockaddr_storage& address) {
  address = sockaddr_storage{};
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  v4->sin_family = AF_INET;
  v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4->sin_port = htons(port);
  return sizeof(sockaddr_in);
}

}  // namespace

bool TcpSocket::Send(const void* data, size_t length) {
  if (!Valid()) return false;
  return send(static_cast<int>(native_), data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
}

void TcpSocket::Close() {
  if (native_ != -1) close(static_cast<int>(native_));
  native_ = -1;
}

LoopbackListener::LoopbackListener(bool ipv6, int backlog) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  TcpSocket guard(fd);
  sockaddr_storage address{};
  socklen_t length = LoopbackAddress(ipv6, 0, address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) return;
  length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  socket_ = std::move(guard);
}

TcpSocket LoopbackListener::Accept() {
  if (!Valid()) return TcpSocket();
  int fd = accept(static_cast<int>(socket_.Value()), nullptr, nullptr);
  return fd < 0 ? TcpSocket() : TcpSocket(fd);
}

TcpSocket ConnectLoopback(uint16_t port, bool ipv6) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TcpSocket();
  TcpSocket guard(fd);
  sockaddr_storage address{};
  socklen_t length = LoopbackAddress(ipv6, port, address);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return TcpSocket();
  return guard;
}

}  // namespace zep::host
