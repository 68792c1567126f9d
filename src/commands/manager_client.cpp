#include "commands/manager_client.h"

#include <cstring>
#include <exception>

#include "common/module_identity.h"
#include "platform/clock.h"
#include "platform/process_user.h"
#include "platform/thread_identity.h"
#include "protocol/http_param_request.h"
#include "protocol/messages.h"
#include "settings/log.h"

namespace zep {

namespace {

bool AllDigits(const std::string& text, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

}  // namespace

bool IsLocalOrigin(const std::string& origin) {
  static const char* const kPrefixes[] = {"http://127.0.0.1", "https://127.0.0.1"};
  for (const char* prefix : kPrefixes) {
    if (origin.compare(0, std::strlen(prefix), prefix) != 0) continue;
    const size_t hostStart = origin.find("//") + 2;
    const size_t authorityEnd = std::min(origin.find_first_of("/?#", hostStart), origin.size());
    // The authority must name the loopback host itself: no user part, no
    // longer host name behind the address.
    const size_t colon = origin.find(':', hostStart);
    const size_t hostEnd = (colon != std::string::npos && colon < authorityEnd) ? colon : authorityEnd;
    const size_t addressEnd = hostStart + std::strlen("127.0.0.1");
    if (!AllDigits(origin, addressEnd, hostEnd)) return false;
    if (hostEnd < authorityEnd && !AllDigits(origin, hostEnd + 1, authorityEnd)) return false;
    return true;
  }
  return false;
}

std::string UserKeyOf(const std::string& sid) {
  uint32_t hash = 0;
  for (char c : sid) hash = hash * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  return std::to_string(hash);
}

ManagerClient::ManagerClient() { RegisterCommands(); }

ManagerClient::~ManagerClient() {
  StopUserInstances();
  LogDebug("ManagerClient exit");
}

void ManagerClient::RegisterCommands() {
  commands["VersionInfo"] = &ManagerClient::VersionInfo;
  commands["GetServerInfo"] = &ManagerClient::GetServerInfo;
  commands["SetServerInfo"] = &ManagerClient::SetServerInfo;
  commands["ChangePort"] = &ManagerClient::ChangePort;
  commands["Reboot"] = &ManagerClient::Reboot;
  commands["AddFirewall"] = &ManagerClient::AddFirewall;
  commands["GetLocalIP"] = &ManagerClient::GetLocalIP;
  commands["CheckQROPort"] = &ManagerClient::CheckQROPort;
  commands["TKVersion"] = &ManagerClient::TKVersion;
  commands["GetPorts"] = &ManagerClient::GetPorts;
}

bool ManagerClient::CheckParameterCount(HttpParamRequest& request, int count) {
  const int actual = static_cast<int>(request.Values().size());
  if (actual >= count) return true;
  LogError("Invalidate parameter count. Need %d parameter, %d parameter actually.", count, actual);
  request.SetResult(false, kErrorInvalidParameterCount, Message(kMessageInvalidParameterCount));
  return false;
}

bool ManagerClient::CheckLocalOrigin(HttpParamRequest& request) {
  if (IsLocalOrigin(request.GetOrigin())) return true;
  request.SetResult(false, kErrorOwnText, kOnlyLocalAccess);
  return false;
}

// The origin is what the page's program wrote; the user comes from the
// system. A socket nobody can be found to speak for is refused: only the
// host's own requests come without one.
bool ManagerClient::CheckAdministrator(HttpParamRequest& request) {
  if (!CheckLocalOrigin(request)) return false;
  if (request.GetClientSocket() == 0) return true;
  const ClientIdentity client = IdentifyClient(request.GetClientSocket(), true);
  if (client.administrator) return true;
  const std::string& method = request.GetMethodName();
  if (client.sid.empty())
    LogInfo("%s:: refused: the client's user is unknown.", LogText(method).c_str());
  else
    LogInfo("%s:: refused: user %s does not administer this machine.", LogText(method).c_str(),
            LogText(client.sid).c_str());
  request.SetResult(false, kErrorOwnText, kOnlyAdministrators);
  return false;
}

bool ManagerClient::ServesClient(HttpParamRequest& request) {
  if (WorkMode() != ZEP_WORK_MODE_COPY || request.GetClientSocket() == 0) return true;
  const std::string own = platform::GetProcessUserSID(platform::CurrentProcessId());
  const ClientIdentity client = IdentifyClient(request.GetClientSocket(), false);
  if (!own.empty() && client.sid == own) return true;
  LogInfo("RunCommand:: refused: user %s is not this copy's user.",
          client.sid.empty() ? "(unknown)" : LogText(client.sid).c_str());
  return false;
}

int32_t ManagerClient::RunCommand(HttpParamRequest& request) {
  try {
    return RunCommandSteps(request);
  } catch (const std::exception& failure) {
    LogError("RunCommand:: command failed: %s.", LogText(failure.what()).c_str());
  } catch (...) {
    LogError("RunCommand:: command failed.");
  }
  return request.SendFailureReply();
}

// The clock is read for the step lines only: with them off, a step is
// measured from the last one that was written (or from the start).
int32_t ManagerClient::RunCommandSteps(HttpParamRequest& request) {
  const std::string& id = request.GetId();
  if (LogEnabled(kLogDebug)) {
    LogDebug("2. Before command actually start cost: %ums. id = [%s].",
             static_cast<unsigned>(platform::TickCount() - request.GetStartTick()), LogText(id).c_str());
    request.SetStepTick(platform::TickCount());
  }
  if (request.GetClientSupported() == 0 || !ServesClient(request)) {
    request.SetResult(false, kErrorUnsupportedClient, Message(kMessageUnsupportedClient));
    return request.SendBack();
  }
  InvokeCommand(request);

  if (LogEnabled(kLogDebug)) {
    const uint32_t previous = request.GetStepTick();
    const uint32_t now = platform::TickCount();
    request.SetStepTick(now);
    LogDebug("3. Command process cost: %ums. cmd = [%s]. id = [%s].", static_cast<unsigned>(now - previous),
             LogText(request.GetMethodName()).c_str(), LogText(id).c_str());
  }

  const int32_t result = request.SendBack();

  if (LogEnabled(kLogDebug)) {
    const uint32_t previous = request.GetStepTick();
    const uint32_t now = platform::TickCount();
    request.SetStepTick(now);
    LogDebug("4. Command send back result cost: %ums. id = [%s].\n", static_cast<unsigned>(now - previous),
             LogText(id).c_str());
  }
  return result;
}

void ManagerClient::InvokeCommand(HttpParamRequest& request) {
  const std::string& name = request.GetMethodName();
  auto entry = commands.find(name);
  if (entry == commands.end()) {
    LogError("Invalid function name: %s.", LogText(name).c_str());
    request.SetResult(false, kErrorFunctionNotFound, Message(kMessageFunctionNotFound));
    return;
  }
  if (LogEnabled(kLogDebug)) LogDebug("Twain function [%s] begin: ", LogText(name).c_str());
  (this->*(entry->second))(request);
}

}  // namespace zep
