// zephost as a system service. On Windows the service control manager starts
// it ("zephost --service"), tells it to stop and restarts it after a failure;
// its messages then go to the event log. Elsewhere systemd runs zephost as it
// is (cmake/zephost.service.in), and these calls only say so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace zephost {

// The service's name in the service manager, the event log and the installer.
constexpr const char* kServiceName = "zephost";

enum class Severity { kInfo, kError };
// A message for whoever watches zephost: the terminal (stdout, or stderr for
// errors), or the event log when the service manager runs it.
void Say(Severity severity, const std::string& text);

// How far the host has come, for the service manager; nothing is reported
// when zephost runs from a terminal (it stops on SIGINT and SIGTERM there).
class Lifecycle {
 public:
  virtual ~Lifecycle() = default;
  // Still starting: loading the module, opening the port.
  virtual void Starting() {}
  // Listening. stop ends the server; it may be called from another thread
  // until Ended.
  virtual void Running(std::function<void()> stop) { (void)stop; }
  // The server is ending: stop is not called any more once this returns.
  virtual void Ended() {}
  // Stopping, for up to waitHintMs more.
  virtual void Stopping(uint32_t waitHintMs) { (void)waitHintMs; }
};

// Registers zephost as the service, started automatically as LocalSystem,
// restarted after a failure, to run with arguments after "--service"; an
// existing registration is brought up to date. False with the reason.
bool InstallService(const std::string& arguments, std::string& error);
// Stops the service and removes its registration. False with the reason.
bool UninstallService(std::string& error);
// Runs host under the service manager and returns its exit code once the
// service has stopped; false (with the reason) when the service manager did
// not start this process.
bool RunAsService(const std::function<int(Lifecycle&)>& host, int& exitCode, std::string& error);

}  // namespace zephost
