// Plain TCP sockets on the loopback address, for checks of the module's
// connection handling.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zep::host {

// A TCP socket, closed when the object ends.
class TcpSocket {
 public:
  TcpSocket() = default;
  explicit TcpSocket(intptr_t native) : native_(native) {}
  ~TcpSocket() { Close(); }
  TcpSocket(TcpSocket&& other) noexcept : native_(other.native_) { other.native_ = -1; }
  TcpSocket& operator=(TcpSocket&& other) noexcept {
    if (this != &other) {
      Close();
      native_ = other.native_;
      other.native_ = -1;
    }
    return *this;
  }
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool Valid() const { return native_ != -1; }
  uint32_t Value() const { return static_cast<uint32_t>(native_); }
  // Sends all bytes; false on failure.
  bool Send(const void* data, size_t length);
  void Close();

 private:
  intptr_t native_ = -1;
};

// A listener on 127.0.0.1 (or ::1) at a free port chosen by the system.
class LoopbackListener {
 public:
  explicit LoopbackListener(bool ipv6 = false, int backlog = 8);
  bool Valid() const { return socket_.Valid(); }
  uint16_t Port() const { return port_; }
  TcpSocket Accept();

 private:
  TcpSocket socket_;
  uint16_t port_ = 0;
};

TcpSocket ConnectLoopback(uint16_t port, bool ipv6 = false);

}  // namespace zep::host
