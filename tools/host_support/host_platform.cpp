#include "host_support/host_platform.h"

#include <map>
#include <vector>

#include "platform/file_system.h"
#include "platform/named_event.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/profile.h"

namespace zep::host {

std::string ExecutablePath() { return platform::ModuleFilePath(); }

std::string FolderOf(const std::string& path) {
  const size_t separator = path.rfind(platform::kPathSeparator);
  return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string NativePath(std::string path) {
  for (char& c : path)
    if (c == '/') c = platform::kPathSeparator;
  return path;
}

std::vector<std::string> ClientUsersOf(const std::vector<uint32_t>& sockets) {
  std::vector<std::string> users(sockets.size(), "unknown");
  platform::SocketsSession session(2, 2);
  if (!session.Started()) return users;
  std::vector<platform::TcpRow> table;
  bool tableRead = false;
  std::map<uint32_t, std::string> sids;  // by process, within this call
  for (size_t i = 0; i < sockets.size(); ++i) {
    platform::Ipv4Endpoint local{}, peer{};
    if (!platform::GetSocketEndpoints(sockets[i], local, peer)) continue;
    const int64_t uid = platform::ConnectionSocketUser(peer, local);
    if (uid >= 0) {
      users[i] = "uid " + std::to_string(uid);
      continue;
    }
    if (!tableRead) tableRead = platform::GetTcpTableWithOwners(table);
    const uint32_t owner = platform::ClientEndOwner(table, local, peer);
    auto known = sids.find(owner);
    if (known == sids.end()) known = sids.emplace(owner, platform::GetProcessUserSID(owner)).first;
    if (!known->second.empty()) users[i] = known->second;
  }
  return users;
}

bool WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                   const std::string& file) {
  return platform::WriteProfileValue(section.c_str(), key.c_str(), value.c_str(), file.c_str());
}

struct StopEvent::Listener {
  explicit Listener(const std::string& name) : event(name) {}
  platform::NamedEventListener event;
};

StopEvent::StopEvent(const std::string& name) : listener_(std::make_unique<Listener>(name)) {}

StopEvent::~StopEvent() = default;

bool StopEvent::WaitSet(uint32_t milliseconds) { return listener_->event.WaitSet(milliseconds); }

}  // namespace zep::host
