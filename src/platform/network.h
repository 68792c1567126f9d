// Sockets: connection tests, interface addresses and connection owners.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zep::platform {

// True when a TCP connect to the dotted IPv4 address and port succeeds
// within the time given; a connect that is refused, fails or gets no answer
// in that time does not. A text that is not an IPv4 address never connects.
bool TcpConnectSucceeds(const std::string& address, uint16_t port, uint32_t timeoutMilliseconds);

using Ipv4Address = std::array<uint8_t, 4>;
// IPv4 addresses of the machine's interfaces in the order the system gives
// them (loopback included); false when the list cannot be had.
bool ListInterfaceAddresses(std::vector<Ipv4Address>& addresses);

// The socket library for the length of one operation.
class SocketsSession {
 public:
  SocketsSession(int major, int minor);
  ~SocketsSession() { Cleanup(); }
  SocketsSession(const SocketsSession&) = delete;
  SocketsSession& operator=(const SocketsSession&) = delete;
  bool Started() const { return started_; }
  int StartCode() const { return startCode_; }
  void Cleanup();

 private:
  bool started_ = false;
  int startCode_ = 0;
};

// One IPv4 TCP connection with its owning process. Addresses and ports are
// as they stand in network byte order.
struct TcpRow {
  uint32_t state;
  uint32_t localAddress;
  uint16_t localPort;
  uint32_t remoteAddress;
  uint16_t remotePort;
  uint32_t owningProcessId;
  // Who made the socket, where the system says: the uid it was made under
  // (POSIX; -1 when unknown), and when it was made (Windows, in the units of
  // a FILETIME; 0 when the system does not stamp its rows).
  int64_t socketUser = -1;
  uint64_t createdAt = 0;
};

// A fresh snapshot of the machine's IPv4 TCP table; false when there is none.
bool GetTcpTableWithOwners(std::vector<TcpRow>& rows);

// The TCP ports (IPv4 or IPv6, any address) that the process holds a
// listening socket on, each once; none for process 0.
std::vector<uint16_t> TcpPortsListenedOnBy(uint32_t processId);

struct Ipv4Endpoint {
  uint32_t address;
  uint16_t port;
};
// The IPv4 local and peer endpoints of a socket; false for another family or
// a failed query.
bool GetSocketEndpoints(uint32_t socket, Ipv4Endpoint& local, Ipv4Endpoint& peer);

// The rows of one connection, named by its client's end (the row's local
// endpoint) and its server's end (the row's remote endpoint), with their
// owners. Where the system looks a connection up by its endpoints (Linux's
// sock_diag), only that connection is asked for and only its owner sought;
// elsewhere this is the whole table. False when there is no table.
bool GetTcpRowsOfConnection(const Ipv4Endpoint& clientEnd, const Ipv4Endpoint& serverEnd, std::vector<TcpRow>& rows);

// The row of the client's end of a socket's connection: the first whose
// local endpoint is the socket's peer and whose remote endpoint is the
// socket's local end; null when no row is.
inline const TcpRow* ClientEndRow(const std::vector<TcpRow>& rows, const Ipv4Endpoint& local,
                                  const Ipv4Endpoint& peer) {
  for (const TcpRow& row : rows) {
    if (row.localAddress == peer.address && row.localPort == peer.port && row.remoteAddress == local.address &&
        row.remotePort == local.port)
      return &row;
  }
  return nullptr;
}

// The uid that the client's end of a connection was made under, as the
// kernel keeps it (Linux's sock_diag, one query); -1 where the system does not
// say (Windows: its TCP table names processes only).
int64_t ConnectionSocketUser(const Ipv4Endpoint& clientEnd, const Ipv4Endpoint& serverEnd);

// The process that owns the client's end of a socket's connection; 0 when no row is.
inline uint32_t ClientEndOwner(const std::vector<TcpRow>& rows, const Ipv4Endpoint& local, const Ipv4Endpoint& peer) {
  const TcpRow* row = ClientEndRow(rows, local, peer);
  return row == nullptr ? 0 : row->owningProcessId;
}

// Whether the process the row names may speak for the connection: holding a
// socket proves nothing, since sockets are inherited and handed over. POSIX:
// the process runs as the uid that made the socket, with equal real and
// effective uids and gids, and did not start as a set-user-id or
// set-group-id program. Windows: the process was made before the connection
// (where the system stamps its rows), so the id does not name a later process
// that took the number of the socket's ended maker. On success, the start
// time of the very process that was checked (see ProcessStartTime).
bool HolderSpeaksForConnection(const TcpRow& row, uint64_t* startTime);

}  // namespace zep::platform
