// Windows headers in the order they need; each block stands alone.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/win/win_resources.h"
#include "platform/win/wine_win.h"

namespace zep::platform {

using win::HeapBlock;
using win::LibraryCloser;
using win::SocketCloser;

namespace {
constexpr DWORD kInterfaceEntrySize = 76;
constexpr DWORD kInterfaceListBuffer = 1520;

}  // namespace

bool TcpConnectSucceeds(const std::string& address, uint16_t port, uint32_t timeoutMilliseconds) {
  const SocketsSession sockets(2, 2);
  if (!sockets.Started()) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = inet_addr(address.c_str());
  const SocketCloser socket{::socket(AF_INET, SOCK_STREAM, 0)};
  const SOCKET s = socket.socket;
  if (s == INVALID_SOCKET) return false;
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return false;
  if (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) return true;
  if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval bound{static_cast<long>(timeoutMilliseconds / 1000), static_cast<long>(timeoutMilliseconds % 1000) * 1000};
  if (select(0, nullptr, &writable, &failed, &bound) != 1 || !FD_ISSET(s, &writable)) return false;
  int error = 0;
  int length = sizeof error;
  return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 && error == 0;
}

bool ListInterfaceAddresses(std::vector<Ipv4Address>& addresses) {
  const SocketsSession sockets(1, 1);
  if (!sockets.Started()) return false;
  bool listed = false;
  const SocketCloser socket{WSASocketA(AF_INET, SOCK_DGRAM, 0, nullptr, 0, 0)};
  const SOCKET s = socket.socket;
  if (s != INVALID_SOCKET) {
    // Start with room for 20 entries and grow while the system asks for more.
    std::vector<char> buffer(kInterfaceListBuffer);
    for (int attempt = 0; attempt < 8; ++attempt) {
      DWORD returned = 0;
      if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, buffer.data(), static_cast<DWORD>(buffer.size()), &returned,
                   nullptr, nullptr) == 0) {
        for (DWORD i = 0; i < returned / kInterfaceEntrySize; ++i) {
          const auto* entry = reinterpret_cast<const INTERFACE_INFO*>(buffer.data() + i * kInterfaceEntrySize);
          Ipv4Address bytes{};
          std::memcpy(bytes.data(), &entry->iiAddress.AddressIn.sin_addr, 4);
          addresses.push_back(bytes);
        }
        listed = true;
        break;
      }
      if (WSAGetLastError() != WSAEFAULT && WSAGetLastError() != WSAENOBUFS) break;
      buffer.resize(buffer.size() * 2);
    }
  }
  return listed;
}

SocketsSession::SocketsSession(int major, int minor) {
  WSADATA data{};
  startCode_ = WSAStartup(MAKEWORD(major, minor), &data);
  started_ = startCode_ == 0;
}

void SocketsSession::Cleanup() {
  if (started_) WSACleanup();
  started_ = false;
}

namespace {

using AllocateAndGetTcpExTableFromStackFn = DWORD(WINAPI*)(PVOID*, BOOL, HANDLE, DWORD, DWORD);
using GetExtendedTcpTableFn = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);

uint16_t PortOf(DWORD field) { return static_cast<uint16_t>(field & 0xFFFF); }

void AppendRows(const MIB_TCPTABLE_OWNER_PID* table, std::vector<TcpRow>& rows) {
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    rows.push_back(TcpRow{row.dwState, row.dwLocalAddr, PortOf(row.dwLocalPort), row.dwRemoteAddr,
                          PortOf(row.dwRemotePort), row.dwOwningPid});
  }
}

void AppendRows(const MIB_TCPTABLE_OWNER_MODULE* table, std::vector<TcpRow>& rows) {
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_MODULE& row = table->table[i];
    TcpRow added{row.dwState,      row.dwLocalAddr,          PortOf(row.dwLocalPort),
                 row.dwRemoteAddr, PortOf(row.dwRemotePort), row.dwOwningPid};
    added.createdAt = static_cast<uint64_t>(row.liCreateTimestamp.QuadPart);
    rows.push_back(added);
  }
}

// The IP helper of the system folder only: a DLL of that name planted in the
// host's folder or the working folder must not be loaded into the service.
HMODULE LoadIpHelper() {
  HMODULE library = LoadLibraryExA("iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // A system without the search flags refuses them as an invalid parameter:
  // there the library is named by its full path in the system folder.
  if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::string path = std::string(folder, length) + "\\iphlpapi.dll";
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool GetTcpTableWithOwners(std::vector<TcpRow>& rows) {
  HMODULE library = LoadIpHelper();
  if (library == nullptr) return false;
  const LibraryCloser unload{library};
  bool haveTable = false;
  auto allocateAndGet = reinterpret_cast<AllocateAndGetTcpExTableFromStackFn>(
      reinterpret_cast<void*>(GetProcAddress(library, "AllocateAndGetTcpExTableFromStack")));
  if (allocateAndGet != nullptr) {
    HeapBlock table{nullptr};
    allocateAndGet(&table.block, TRUE, GetProcessHeap(), 0, AF_INET);
    if (table.block != nullptr) {
      AppendRows(static_cast<MIB_TCPTABLE_OWNER_PID*>(table.block), rows);
      haveTable = true;
    }
  } else {
    auto getExtended = reinterpret_cast<GetExtendedTcpTableFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "GetExtendedTcpTable")));
    if (getExtended != nullptr) {
      // The module rows carry each connection's creation stamp. Wine 8 gives
      // this table too, with every stamp 0.
      std::vector<unsigned char> buffer;
      DWORD size = 0;
      DWORD status = ERROR_INSUFFICIENT_BUFFER;
      // The table may grow between the calls: ask again, a few times.
      for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        buffer.resize(size == 0 ? 1 : size);
        status = getExtended(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_MODULE_ALL, 0);
      }
      if (status == NO_ERROR) {
        AppendRows(reinterpret_cast<MIB_TCPTABLE_OWNER_MODULE*>(buffer.data()), rows);
        haveTable = true;
      }
    }
  }
  return haveTable;
}

// A process made after the connection cannot have made its socket: its id is
// that of the socket's ended maker, taken again.
bool HolderSpeaksForConnection(const TcpRow& row, uint64_t* startTime) {
  uint64_t created = 0;
  if (row.owningProcessId == 0 || !ProcessStartTime(row.owningProcessId, &created)) return false;
  if (row.createdAt != 0 && created > row.createdAt) return false;
  *startTime = created;
  return true;
}

namespace {

// Adds the ports of one address family's listening rows that the process owns.
template <typename Table>
void AddListenedPorts(ULONG family, uint32_t processId, std::vector<uint16_t>& ports) {
  std::vector<unsigned char> buffer;
  DWORD size = 0;
  DWORD status = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the calls: ask again, a few times.
  for (int attempt = 0; attempt < 4 && status == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size == 0 ? 1 : size);
    status = GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (status != NO_ERROR) return;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    // Windows names every listener's owner. Wine names none (0): there the
    // check can only find that the port is listened on.
    const DWORD owner = table->table[i].dwOwningPid;
    const uint16_t port = ntohs(static_cast<u_short>(table->table[i].dwLocalPort));
    if ((owner == processId || (owner == 0 && win::UnderWine())) &&
        std::find(ports.begin(), ports.end(), port) == ports.end())
      ports.push_back(port);
  }
}

}  // namespace

// The TCP table has no lookup by endpoints: the whole table it is.
bool GetTcpRowsOfConnection(const Ipv4Endpoint& /*clientEnd*/, const Ipv4Endpoint& /*serverEnd*/,
                            std::vector<TcpRow>& rows) {
  return GetTcpTableWithOwners(rows);
}

int64_t ConnectionSocketUser(const Ipv4Endpoint& /*clientEnd*/, const Ipv4Endpoint& /*serverEnd*/) { return -1; }

std::vector<uint16_t> TcpPortsListenedOnBy(uint32_t processId) {
  std::vector<uint16_t> ports;
  if (processId == 0) return ports;
  AddListenedPorts<MIB_TCPTABLE_OWNER_PID>(AF_INET, processId, ports);
  AddListenedPorts<MIB_TCP6TABLE_OWNER_PID>(AF_INET6, processId, ports);
  return ports;
}

bool GetSocketEndpoints(uint32_t socketValue, Ipv4Endpoint& local, Ipv4Endpoint& peer) {
  sockaddr_in localAddress{}, peerAddress{};
  int length = sizeof localAddress;
  const SOCKET s = static_cast<SOCKET>(socketValue);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&localAddress), &length) != 0) return false;
  length = sizeof peerAddress;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&peerAddress), &length) != 0) return false;
  local = Ipv4Endpoint{localAddress.sin_addr.s_addr, localAddress.sin_port};
  peer = Ipv4Endpoint{peerAddress.sin_addr.s_addr, peerAddress.sin_port};
  return true;
}

}  // namespace zep::platform
