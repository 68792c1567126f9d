#include "host_support/host_platform.h"

#include <vector>

#include "platform/file_system.h"
#include "platform/named_event.h"
#include "platform/network.h"
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

uint32_t ClientProcessOf(uint32_t socket) {
  platform::SocketsSession sockets(2, 2);
  platform::Ipv4Endpoint local{}, peer{};
  std::vector<platform::TcpRow> rows;
  if (!sockets.Started() || !platform::GetSocketEndpoints(socket, local, peer) ||
      !platform::GetTcpRowsOfConnection(peer, local, rows))
    return 0;
  return platform::ClientEndOwner(rows, local, peer);
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
