#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "platform/network.h"

namespace zep::platform {

bool TcpConnectSucceeds(const std::string& address, uint16_t port) {
  in_addr parsed{};
  // Like inet_addr: a text that is not an address names 255.255.255.255.
  parsed.s_addr = inet_addr(address.c_str());
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr = parsed;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  close(fd);
  return connected;
}

bool ListInterfaceAddresses(std::vector<Ipv4Address>& addresses) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  // Freed on every path, a failing push_back included.
  const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owned(list, &freeifaddrs);
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    Ipv4Address bytes{};
    std::memcpy(bytes.data(), &address->sin_addr.s_addr, 4);
    addresses.push_back(bytes);
  }
  return true;
}

SocketsSession::SocketsSession(int /*major*/, int /*minor*/) : started_(true), startCode_(0) {}

void SocketsSession::Cleanup() { started_ = false; }

namespace {

// Calls visit with the inode of each socket the process holds open, until
// visit answers true; whether it did.
template <typename Visit>
bool AnySocketOf(const char* processId, Visit visit) {
  const std::string fdDirectory = std::string("/proc/") + processId + "/fd";
  const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(fdDirectory.c_str()), &closedir);
  if (fds == nullptr) return false;
  while (dirent* fd = readdir(fds.get())) {
    char target[128];
    const std::string link = fdDirectory + "/" + fd->d_name;
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    unsigned long inode = 0;
    if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && visit(inode)) return true;
  }
  return false;
}

// Socket inode to the first process that holds it open.
std::unordered_map<unsigned long, uint32_t> SocketOwners() {
  std::unordered_map<unsigned long, uint32_t> owners;
  const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), &closedir);
  if (proc == nullptr) return owners;
  while (dirent* process = readdir(proc.get())) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(process->d_name, &end, 10);
    if (end == process->d_name || *end != '\0') continue;
    AnySocketOf(process->d_name, [&](unsigned long inode) {
      owners.emplace(inode, static_cast<uint32_t>(pid));
      return false;
    });
  }
  return owners;
}

}  // namespace

bool GetTcpTableWithOwners(std::vector<TcpRow>& rows) {
  std::ifstream table("/proc/net/tcp");
  if (!table) return false;
  const auto owners = SocketOwners();
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %*u %*u %lu", &localAddress,
                    &localPort, &remoteAddress, &remotePort, &state, &inode) != 6)
      continue;
    auto owner = owners.find(inode);
    // The kernel prints each address as the 32-bit value it stores (network
    // order in memory) and each port as a host-order number.
    rows.push_back(TcpRow{state, localAddress, htons(static_cast<uint16_t>(localPort)), remoteAddress,
                          htons(static_cast<uint16_t>(remotePort)), owner == owners.end() ? 0u : owner->second});
  }
  return true;
}

namespace {

// Listening sockets of one of the kernel's tables: inode to port.
void ListeningSockets(const char* tablePath, std::unordered_map<unsigned long, uint16_t>& sockets) {
  std::ifstream table(tablePath);
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    // sl local(address:port) rem st ... inode; IPv6 addresses are 32 digits.
    char local[64] = {0};
    unsigned state = 0;
    unsigned long inode = 0;
    if (std::sscanf(line.c_str(), " %*d: %63s %*s %2X %*X:%*X %*X:%*X %*X %*u %*u %lu", local, &state, &inode) != 3)
      continue;
    const char* colon = std::strrchr(local, ':');
    if (state != 0x0A || colon == nullptr) continue;
    sockets.emplace(inode, static_cast<uint16_t>(std::strtoul(colon + 1, nullptr, 16)));
  }
}

}  // namespace

std::vector<uint16_t> TcpPortsListenedOnBy(uint32_t processId) {
  std::vector<uint16_t> ports;
  if (processId == 0) return ports;
  std::unordered_map<unsigned long, uint16_t> listening;
  ListeningSockets("/proc/net/tcp", listening);
  ListeningSockets("/proc/net/tcp6", listening);
  if (listening.empty()) return ports;
  AnySocketOf(std::to_string(processId).c_str(), [&](unsigned long inode) {
    const auto socket = listening.find(inode);
    if (socket != listening.end() && std::find(ports.begin(), ports.end(), socket->second) == ports.end())
      ports.push_back(socket->second);
    return false;
  });
  return ports;
}

bool GetSocketEndpoints(uint32_t socket, Ipv4Endpoint& local, Ipv4Endpoint& peer) {
  sockaddr_in localAddress{}, peerAddress{};
  socklen_t length = sizeof localAddress;
  if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&localAddress), &length) != 0 ||
      length > sizeof localAddress || localAddress.sin_family != AF_INET)
    return false;
  length = sizeof peerAddress;
  if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peerAddress), &length) != 0 ||
      length > sizeof peerAddress || peerAddress.sin_family != AF_INET)
    return false;
  local = Ipv4Endpoint{localAddress.sin_addr.s_addr, localAddress.sin_port};
  peer = Ipv4Endpoint{peerAddress.sin_addr.s_addr, peerAddress.sin_port};
  return true;
}

}  // namespace zep::platform
