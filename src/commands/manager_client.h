// The command table and its handlers.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "commands/user_instance.h"
#include "platform/critical_section.h"

namespace zep {

class HttpParamRequest;

// Who is behind a connection, as far as the system vouches for it: the
// process at the client's end (0 when none speaks for the connection), its
// session and start time, its user's SID (empty when unknown) and, when
// asked, whether that user administers the machine.
struct ClientIdentity {
  uint32_t processId = 0;
  uint32_t sessionId = 0;
  uint64_t startTime = 0;
  std::string sid;
  bool administrator = false;
};
ClientIdentity IdentifyClient(uint32_t socket, bool askAdministrator);
// The process at the client's end of the connection, when it speaks for it; else 0.
uint32_t GetConnectionProcessID(uint32_t socket);

// The name of the stop event of the counter-th copy started, at that tick.
std::string StopEventName(uint32_t tick, uint32_t counter);
// The batch file that replaces the service's firewall rule and deletes itself.
std::string FirewallBatchText(const std::string& servicePath);

// The settings key that names a further group whose members administer the machine.
constexpr const char* kAdministratorsGroupKey = "AdministratorsGroup";

class ManagerClient {
 public:
  ManagerClient();
  virtual ~ManagerClient();
  ManagerClient(const ManagerClient&) = delete;
  ManagerClient& operator=(const ManagerClient&) = delete;

  int32_t RunCommand(HttpParamRequest& request);
  void InvokeCommand(HttpParamRequest& request);

  // Client identification: the SID of the user behind the connection; also
  // records the session and client process under that SID.
  std::string GetConnectionUserSID(uint32_t socket);
  // Ports of the user's own service copy, starting it when it does not run.
  PortMap GetCurrentUserModulePorts(const std::string& sid, std::string& error);
  // The ports recorded for the user that the copy with that process id listens on.
  PortMap ReadUserModulePorts(const std::string& sid, uint32_t copyProcessId);

  // For inspection while no command runs.
  std::map<std::string, UserInstance>& UserInstances() { return userInstances; }

 private:
  using Handler = void (ManagerClient::*)(HttpParamRequest& request);

  void RegisterCommands();
  int32_t RunCommandSteps(HttpParamRequest& request);
  // Needs at least count parameters; otherwise reports -2202.
  bool CheckParameterCount(HttpParamRequest& request, int count);
  // Only pages from the loopback address; otherwise reports -1.
  bool CheckLocalOrigin(HttpParamRequest& request);
  // Only pages from the loopback address, sent by a user who administers the
  // machine (or by the host itself, with no socket); otherwise reports -1.
  bool CheckAdministrator(HttpParamRequest& request);
  // A per-user copy serves its own user (and its host) alone.
  bool ServesClient(HttpParamRequest& request);
  void StopUserInstances();
  // Marks the user's record as starting (true), or finds its copy running or
  // being started by another command (false).
  bool ClaimUserInstance(const std::string& sid, InstanceClaim& claim);
  PortMap StartUserInstance(const std::string& sid, InstanceClaim& claim, std::string& error);

  void VersionInfo(HttpParamRequest& request);
  void TKVersion(HttpParamRequest& request);
  void GetServerInfo(HttpParamRequest& request);
  void GetPorts(HttpParamRequest& request);
  void SetServerInfo(HttpParamRequest& request);
  void ChangePort(HttpParamRequest& request);
  void CheckQROPort(HttpParamRequest& request);
  void Reboot(HttpParamRequest& request);
  void AddFirewall(HttpParamRequest& request);
  void GetLocalIP(HttpParamRequest& request);

  std::map<std::string, Handler> commands;
  std::map<std::string, UserInstance> userInstances;
  std::map<std::string, std::string> userKeys;
  // Commands run side by side on the host's threads. This guards the two
  // tables above and is held only for their lookups and updates: never across
  // a connect, a TCP table query, a process start, a wait or the host's callback.
  platform::Mutex tablesMutex;
};

// True for origins that begin with "http://127.0.0.1" or "https://127.0.0.1"
// followed by the end, a port, a path or more digits of the last number.
bool IsLocalOrigin(const std::string& origin);

// Decimal text of the multiply-by-33 hash of the SID text.
std::string UserKeyOf(const std::string& sid);

}  // namespace zep
