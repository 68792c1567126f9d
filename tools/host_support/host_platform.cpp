#include "host_support/host_platform.h"

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

std::string ClientUserOf(uint32_t socket) {
  platform::SocketsSession sockets(2, 2);
  platform::Ipv4Endpoint local{}, peer{};
  if (!sockets.Started() || !platform::GetSocketEndpoints(socket, local, peer)) return "unknown";
  const int64_t uid = platform::ConnectionSocketUser(peer, local);
  if (uid >= 0) return "uid " + std::to_string(uid);
  std::vector<platform::TcpRow> rows;
  if (!platform::GetTcpRowsOfConnection(peer, local, rows)) return "unknown";
  const std::string sid = platform::GetProcessUserSID(platform::ClientEndOwner(rows, local, peer));
  return sid.empty() ? "unknown" : sid;
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
