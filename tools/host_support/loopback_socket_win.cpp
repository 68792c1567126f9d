#include <winsock2.h>
#include <ws2tcpip.h>

#include <utility>

#include "host_support/loopback_socket.h"
#include "platform/network.h"

namespace zep::host {

namespace {

// Keeps Windows Sockets started for the helpers' whole use.
void EnsureSockets() { static platform::SocketsSession started(2, 2); }

int LoopbackAddress(bool ipv6, uint16_t port, sockaddr_storage& address) {
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
  return send(static_cast<SOCKET>(native_), static_cast<const char*>(data), static_cast<int>(length), 0) ==
         static_cast<int>(length);
}

void TcpSocket::Close() {
  if (native_ != -1) closesocket(static_cast<SOCKET>(native_));
  native_ = -1;
}

LoopbackListener::LoopbackListener(bool ipv6, int backlog) {
  EnsureSockets();
  SOCKET s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return;
  TcpSocket guard(static_cast<intptr_t>(s));
  sockaddr_storage address{};
  int length = LoopbackAddress(ipv6, 0, address);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(s, backlog) != 0) return;
  length = sizeof address;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  socket_ = std::move(guard);
}

TcpSocket LoopbackListener::Accept() {
  if (!Valid()) return TcpSocket();
  SOCKET s = accept(static_cast<SOCKET>(socket_.Value()), nullptr, nullptr);
  return s == INVALID_SOCKET ? TcpSocket() : TcpSocket(static_cast<intptr_t>(s));
}

TcpSocket ConnectLoopback(uint16_t port, bool ipv6) {
  EnsureSockets();
  SOCKET s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return TcpSocket();
  TcpSocket guard(static_cast<intptr_t>(s));
  sockaddr_storage address{};
  int length = LoopbackAddress(ipv6, port, address);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) return TcpSocket();
  return guard;
}

}  // namespace zep::host
