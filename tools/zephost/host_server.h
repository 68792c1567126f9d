// HTTP and WebSocket on 127.0.0.1: requests of the module go to
// DistributeCommand, every other path gets the console page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "module_library.h"

namespace zephost {

// Whether a request path belongs to the module.
bool IsModulePath(const std::string& target);

class HostServer {
 public:
  explicit HostServer(ModuleLibrary& module);
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // Listens on 127.0.0.1 at the port (0: one the system picks); the port, or
  // 0 on failure, with the system's reason and whether another socket holds
  // the port.
  uint16_t Listen(uint16_t port, std::string& error, bool* portInUse = nullptr);
  // What the console page shows of the host: a JSON object served at /zephost/info.
  void SetPageInfo(const std::string& json);
  // Serves until Stop, then waits up to 5 s for the module calls that still
  // run; false when some did not end (they are left to themselves).
  bool Run();
  void Stop();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace zephost
