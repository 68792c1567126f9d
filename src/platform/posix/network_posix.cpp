#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "platform/network.h"
#include "platform/posix/process_stat_posix.h"

namespace zep::platform {

bool TcpConnectSucceeds(const std::string& address, uint16_t port, uint32_t timeoutMilliseconds) {
  in_addr parsed{};
  // Like inet_addr: a text that is not an address names 255.255.255.255.
  parsed.s_addr = inet_addr(address.c_str());
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr = parsed;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
  if (!connected && errno == EINPROGRESS) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long waited = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
      if (waited >= timeoutMilliseconds) break;
      pollfd ready{fd, POLLOUT, 0};
      const int got = poll(&ready, 1, static_cast<int>(timeoutMilliseconds - waited));
      if (got < 0 && errno == EINTR) continue;
      if (got == 1) {
        int error = 0;
        socklen_t length = sizeof error;
        connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
      }
      break;
    }
  }
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
    unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0, uid = 0;
    unsigned long inode = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line.c_str(), " %*d: %8X:%4X %8X:%4X %2X %*X:%*X %*X:%*X %*X %u %*u %lu", &localAddress, &localPort,
                    &remoteAddress, &remotePort, &state, &uid, &inode) != 7)
      continue;
    auto owner = owners.find(inode);
    // The kernel prints each address as the 32-bit value it stores (network
    // order in memory) and each port as a host-order number.
    rows.push_back(TcpRow{state, localAddress, htons(static_cast<uint16_t>(localPort)), remoteAddress,
                          htons(static_cast<uint16_t>(remotePort)), owner == owners.end() ? 0u : owner->second, uid,
                          0});
  }
  return true;
}

namespace {

struct DiagnosedSocket {
  uint32_t state;
  uint32_t uid;
  unsigned long inode;
};

// The kernel's own lookup of one TCP connection by its four endpoint values
// (sock_diag, without a dump): its state, owner's uid and inode.
bool DiagnoseConnection(const Ipv4Endpoint& clientEnd, const Ipv4Endpoint& serverEnd, DiagnosedSocket& found) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* owned) {
    close(*owned);
    delete owned;
  });
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } query{};
  query.header.nlmsg_len = sizeof query;
  query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  query.header.nlmsg_flags = NLM_F_REQUEST;
  query.request.sdiag_family = AF_INET;
  query.request.sdiag_protocol = IPPROTO_TCP;
  query.request.idiag_states = ~0u;
  query.request.id.idiag_sport = clientEnd.port;
  query.request.id.idiag_dport = serverEnd.port;
  query.request.id.idiag_src[0] = clientEnd.address;
  query.request.id.idiag_dst[0] = serverEnd.address;
  query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &query, sizeof query, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) != sizeof query)
    return false;
  alignas(nlmsghdr) char answer[8192];
  ssize_t got;
  do {
    got = recv(fd, answer, sizeof answer, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  const auto* message = reinterpret_cast<const nlmsghdr*>(answer);
  if (!NLMSG_OK(message, static_cast<unsigned>(got)) || message->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
    return false;
  const auto* socket = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
  found = DiagnosedSocket{socket->idiag_state, socket->idiag_uid, socket->idiag_inode};
  return true;
}

// The process that last owned an identified connection: a page's browser
// usually sends again, and is looked at first.
std::atomic<uint32_t> lastOwner{0};

// The process that holds the socket open: the last owner first, then the
// processes of the socket's user, then the rest.
uint32_t OwnerOfSocket(unsigned long inode, uint32_t uid) {
  auto holds = [inode](const char* processId) {
    return AnySocketOf(processId, [inode](unsigned long held) { return held == inode; });
  };
  const uint32_t last = lastOwner.load(std::memory_order_relaxed);
  if (last != 0 && holds(std::to_string(last).c_str())) return last;
  for (const bool sameUser : {true, false}) {
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), &closedir);
    if (proc == nullptr) return 0;
    while (dirent* process = readdir(proc.get())) {
      char* end = nullptr;
      const unsigned long pid = std::strtoul(process->d_name, &end, 10);
      if (end == process->d_name || *end != '\0' || pid == last) continue;
      struct stat owner {};
      if (stat((std::string("/proc/") + process->d_name).c_str(), &owner) != 0) continue;
      if ((owner.st_uid == uid) != sameUser) continue;
      if (holds(process->d_name)) {
        lastOwner.store(static_cast<uint32_t>(pid), std::memory_order_relaxed);
        return static_cast<uint32_t>(pid);
      }
    }
  }
  return 0;
}

}  // namespace

bool GetTcpRowsOfConnection(const Ipv4Endpoint& clientEnd, const Ipv4Endpoint& serverEnd, std::vector<TcpRow>& rows) {
  DiagnosedSocket socket{};
  // Without sock_diag (an old kernel, a filter) the whole table is read.
  if (!DiagnoseConnection(clientEnd, serverEnd, socket)) return GetTcpTableWithOwners(rows);
  rows.push_back(TcpRow{socket.state, clientEnd.address, clientEnd.port, serverEnd.address, serverEnd.port,
                        socket.inode == 0 ? 0u : OwnerOfSocket(socket.inode, socket.uid), socket.uid, 0});
  return true;
}

int64_t ConnectionSocketUser(const Ipv4Endpoint& clientEnd, const Ipv4Endpoint& serverEnd) {
  DiagnosedSocket socket{};
  return DiagnoseConnection(clientEnd, serverEnd, socket) ? static_cast<int64_t>(socket.uid) : -1;
}

namespace {

// A file of one process, read through the process's own folder: once the
// process has ended, nothing more is read, even if its id is taken again.
std::string ReadProcessFile(int processFolder, const char* name) {
  const int fd = openat(processFolder, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text;
  char buffer[4096];
  ssize_t got;
  while (text.size() < 65536 && ((got = read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)))
    if (got > 0) text.append(buffer, static_cast<size_t>(got));
  close(fd);
  return text;
}

// The four ids (real, effective, saved, file system) of a "Uid:" or "Gid:" line.
bool StatusIds(const std::string& status, const char* key, unsigned ids[4]) {
  const size_t line = status.find(std::string("\n") + key);
  return line != std::string::npos && std::sscanf(status.c_str() + line + 1 + std::strlen(key), " %u %u %u %u", &ids[0],
                                                  &ids[1], &ids[2], &ids[3]) == 4;
}

// Whether the process started as a set-user-id or set-group-id program (or
// with other rights its caller lacked): the kernel's AT_SECURE.
bool StartedSecure(const std::string& auxv, bool& secure) {
  constexpr unsigned long kAtSecure = 23;
  const size_t pair = 2 * sizeof(unsigned long);
  for (size_t at = 0; at + pair <= auxv.size(); at += pair) {
    unsigned long entry[2];
    std::memcpy(entry, auxv.data() + at, pair);
    if (entry[0] == kAtSecure) {
      secure = entry[1] != 0;
      return true;
    }
  }
  return false;
}

}  // namespace

bool HolderSpeaksForConnection(const TcpRow& row, uint64_t* startTime) {
  if (row.owningProcessId == 0 || row.socketUser < 0) return false;
  const std::string folder = "/proc/" + std::to_string(row.owningProcessId);
  const int processFolder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (processFolder < 0) return false;
  const std::string status = ReadProcessFile(processFolder, "status");
  const std::string auxv = ReadProcessFile(processFolder, "auxv");
  const std::string stat = ReadProcessFile(processFolder, "stat");
  close(processFolder);
  unsigned uids[4], gids[4];
  bool secure = true;
  if (!StatusIds(status, "Uid:", uids) || !StatusIds(status, "Gid:", gids) || !StartedSecure(auxv, secure) || secure)
    return false;
  // Every uid is the socket's maker's, and the gids agree among themselves:
  // no rights lent by a set-id program, whatever it did with its ids since.
  for (unsigned uid : uids)
    if (uid != static_cast<uint64_t>(row.socketUser)) return false;
  for (unsigned gid : gids)
    if (gid != gids[0]) return false;
  return ParseProcessStartTime(stat, startTime);
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
