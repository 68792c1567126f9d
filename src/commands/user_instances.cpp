// The per-user copies of the service: started as the browser's user, reused
// while they run, replaced when they end, stopped with the module.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "commands/manager_client.h"
#include "common/module_identity.h"
#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/named_event.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/system_error.h"
#include "platform/user_process.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"

namespace zep {

std::string StopEventName(uint32_t tick, uint32_t counter) {
  char name[kMaxPath];
  std::snprintf(name, sizeof name, "Global\\Corvantis_%s_%d_stop_service_event_%d", kModuleRelease,
                static_cast<int>(tick), static_cast<int>(counter));
  return name;
}

namespace {

std::string UserInstanceCommandLine(const std::string& application, const std::string& eventName,
                                    const std::string& sid) {
  return "\"" + application + "\" \"-asconsole\" \"-asuser\" \"" + eventName + "\" \"" + sid + "\" \"notused\"";
}

const char* const kModuleNames[] = {"zep", "qro"};

std::atomic<uint32_t> stopEventCounter{0};
// Names that someone else already took are skipped, a bounded number of them.
constexpr int kStopEventAttempts = 16;

// Who a copy is started for: the user's SID as identified, and the client
// process it was identified through.
struct CopyUser {
  const std::string& sid;
  uint32_t sessionId;
  uint32_t clientProcessId;
  uint64_t clientStartTime;
};

// A copy runs as the user it is for and no one else: a token whose user is
// not that SID is never used, whichever way it was had.
bool TokenIsFor(const platform::UserToken& token, const std::string& sid) {
  const std::string owner = platform::TokenUserSid(token);
  if (owner == sid) return true;
  LogDebug("CreateProcessAsCurrentLogonUser:: token user %s is not %s.", LogText(owner).c_str(), LogText(sid).c_str());
  return false;
}

// The session's user token, with the session set; false (no token) otherwise.
bool SessionUserToken(const CopyUser& user, platform::UserToken& token) {
  if (user.sessionId == 0 || platform::GetSessionUserToken(user.sessionId, token) < 0) return false;
  if (!TokenIsFor(token, user.sid)) {
    token.Close();
    return false;
  }
  if (platform::SetTokenSessionId(token, user.sessionId) && token.Valid()) return true;
  LogDebug("SetTokenInformation failed(%d).", static_cast<int>(platform::LastSystemError()));
  token.Close();
  return false;
}

// The client process's own token, if the process is still the one that was
// identified (the same start time) and still runs as the user.
bool ClientProcessToken(const CopyUser& user, platform::UserToken& token) {
  if (user.clientProcessId == 0) return false;
  platform::QueryProcess client(user.clientProcessId);
  LogDebug("Client process id=%d, query return=%x(%d)", static_cast<int>(user.clientProcessId), client.LogValue(),
           static_cast<int>(platform::LastSystemError()));
  if (!client.Valid()) return false;
  // The open handle keeps the id from being taken again while it is checked.
  uint64_t startTime = 0;
  if (user.clientStartTime == 0 || !platform::ProcessStartTime(user.clientProcessId, &startTime) ||
      startTime != user.clientStartTime) {
    LogDebug("CreateProcessAsCurrentLogonUser:: process %d is not the client that was identified.",
             static_cast<int>(user.clientProcessId));
    return false;
  }
  platform::OpenPrimaryTokenOf(client, token);
  LogDebug("OpenProcessToken token:%x(%d)", token.LogValue(), static_cast<int>(platform::LastSystemError()));
  if (token.Valid() && TokenIsFor(token, user.sid)) return true;
  token.Close();
  return false;
}

// The accounts services run as: a page's program that runs as one of them
// is a service's, and no copy runs with a service's rights.
bool IsServiceAccount(const std::string& sid) { return sid == "S-1-5-18" || sid == "S-1-5-19" || sid == "S-1-5-20"; }

// The copy's stop event, made by the module under the first name nobody
// else holds, before the copy starts.
bool CreateStopEvent(const std::string& sid, platform::CopyStopEvent& event, std::string& name) {
  for (int attempt = 0; attempt < kStopEventAttempts; ++attempt) {
    name = StopEventName(platform::TickCount(), ++stopEventCounter);
    if (event.Create(name, sid)) return true;
    LogDebug("CreateStopEvent:: %s is taken or cannot be made (%d).", LogText(name).c_str(),
             static_cast<int>(platform::LastSystemError()));
  }
  name.clear();
  return false;
}

// Starts the copy, with its stop event made just before.
bool CreateProcessAsCurrentLogonUser(const std::string& application, platform::ProcessHandle& started,
                                     platform::CopyStopEvent& stopEvent, std::string& eventName, const CopyUser& user) {
  if (IsServiceAccount(user.sid)) {
    LogDebug("CreateProcessAsCurrentLogonUser:: no copy runs as the service account %s.", LogText(user.sid).c_str());
    return false;
  }
  platform::UserToken token;
  if (!SessionUserToken(user, token) && !ClientProcessToken(user, token)) return false;
  platform::EnvironmentBlock environment;
  if (!environment.Create(token)) {
    LogDebug("CreateEnvironmentBlock failed(%d).", static_cast<int>(platform::LastSystemError()));
    return false;
  }
  if (!CreateStopEvent(user.sid, stopEvent, eventName)) return false;
  const std::string commandLine = UserInstanceCommandLine(application, eventName, user.sid);
  const bool ok = platform::StartProcessAsUser(token, application, commandLine, environment, started);
  LogDebug("Create progress return %d(%d). %s %s", ok ? 1 : 0, static_cast<int>(platform::LastSystemError()),
           LogText(application).c_str(), LogText(commandLine).c_str());
  return ok;
}

}  // namespace

PortMap ManagerClient::GetCurrentUserModulePorts(const std::string& sid, std::string& error) {
  error.clear();
  LogDebug("GetCurrentUserModulePorts user=%s", LogText(sid).c_str());
  if (sid.empty()) {
    error = "User SID is empty.";
    return PortMap();
  }
  // A copy starts no copies: they would be its children, out of the
  // service's reach when it stops.
  if (WorkMode() == ZEP_WORK_MODE_COPY) return ReadUserModulePorts(sid, 0);
  InstanceClaim claim;
  if (!ClaimUserInstance(sid, claim)) return ReadUserModulePorts(sid, claim.runningCopy);
  return StartUserInstance(sid, claim, error);
}

// Decides under the lock; clearing, starting and waiting happen without it.
// A record marked starting belongs to the command that is starting its copy,
// and counts as running for everyone else.
bool ManagerClient::ClaimUserInstance(const std::string& sid, InstanceClaim& claim) {
  std::lock_guard<platform::Mutex> guard(tablesMutex);
  UserInstance& record = userInstances[sid];
  if (record.starting) return false;
  if (record.process.Valid()) {
    if (record.process.Wait(0) != platform::WaitResult::Exited) {
      claim.runningCopy = record.process.ProcessId();
      return false;
    }
    claim.ended = std::move(record.process);
  }
  record.starting = true;
  claim.sessionId = record.sessionId;
  claim.clientProcessId = record.clientProcessId;
  claim.clientStartTime = record.clientStartTime;
  return true;
}

PortMap ManagerClient::StartUserInstance(const std::string& sid, InstanceClaim& claim, std::string& error) {
  platform::ProcessHandle started;
  platform::CopyStopEvent stopEvent;
  std::string eventName;
  bool ok = false;
  // Whatever happens below, the record leaves the starting state. It keeps
  // the stop event of the copy that started, and no other.
  struct FinishStart {
    ManagerClient& self;
    const std::string& sid;
    platform::ProcessHandle& started;
    platform::CopyStopEvent& stopEvent;
    std::string& eventName;
    bool& ok;
    ~FinishStart() {
      std::lock_guard<platform::Mutex> guard(self.tablesMutex);
      auto record = self.userInstances.find(sid);  // no allocation in a destructor
      if (record == self.userInstances.end()) return;
      record->second.starting = false;
      if (!ok) {
        record->second.stopEvent.Close();
        return;
      }
      record->second.process = std::move(started);
      record->second.stopEvent = std::move(stopEvent);
      record->second.stopEventName = std::move(eventName);
    }
  } finish{*this, sid, started, stopEvent, eventName, ok};

  if (claim.ended.Valid()) {
    LogDebug("terminate process: p=%d", static_cast<int>(claim.ended.ProcessId()));
    claim.ended.Terminate(0);
    claim.ended.Close();
  }
  for (const char* name : kModuleNames) {
    ClearUserPort(sid, name, false);
    ClearUserPort(sid, name, true);
  }
  const std::string application = GetServiceExecutablePath();
  if (application.size() >= kMaxPath) {
    error = "Failed to create user process.";
    return PortMap();
  }
  if (!CreateProcessAsCurrentLogonUser(application, started, stopEvent, eventName,
                                       CopyUser{sid, claim.sessionId, claim.clientProcessId, claim.clientStartTime})) {
    error = "Failed to create user process.";
    return PortMap();
  }
  LogDebug("ManagerClient::CreateProcessAsCurrentLogonUser return: %d", static_cast<int>(started.ProcessId()));
  ok = true;
  return ReadUserModulePorts(sid, started.ProcessId());
}

namespace {

// A port that the user's file records counts only when the copy the module
// started listens on it: the file is open to every user, and anyone could
// send a page to a port of theirs.
int32_t PortOfCopy(int32_t recorded, const std::vector<uint16_t>& listened) {
  if (recorded <= 0 || recorded > 0xFFFF) return 0;
  return std::find(listened.begin(), listened.end(), static_cast<uint16_t>(recorded)) != listened.end() ? recorded : 0;
}

}  // namespace

PortMap ManagerClient::ReadUserModulePorts(const std::string& sid, uint32_t copyProcessId) {
  // The copy's listeners are asked for once, for all four ports.
  const std::vector<uint16_t> listened = platform::TcpPortsListenedOnBy(copyProcessId);
  PortMap ports;
  for (const char* name : kModuleNames) {
    const int32_t plain = PortOfCopy(ReadUserPort(sid, name, false), listened);
    const int32_t secure = PortOfCopy(ReadUserPort(sid, name, true), listened);
    LogDebug("port:%d--%d, %s", plain, secure, name);
    ports[name] = {plain, secure};
  }
  return ports;
}

void ManagerClient::StopUserInstances() {
  // No command runs any more; the records are taken out so that nothing is
  // held while the copies are waited for.
  std::map<std::string, UserInstance> records;
  {
    std::lock_guard<platform::Mutex> guard(tablesMutex);
    records.swap(userInstances);
  }
  for (auto& entry : records) {
    UserInstance& record = entry.second;
    LogDebug("notify process exit: p=%d", static_cast<int>(record.process.ProcessId()));
    record.stopEvent.Set(record.process);
  }
  for (auto& entry : records) {
    UserInstance& record = entry.second;
    if (record.process.Valid()) {
      if (record.process.Wait(50) == platform::WaitResult::Exited) {
        record.process.Close();
      } else {
        LogDebug("force process exit: p=%d", static_cast<int>(record.process.ProcessId()));
        record.process.Terminate(0);
      }
    }
  }
}

}  // namespace zep
