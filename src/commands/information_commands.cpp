// VersionInfo, TKVersion, GetServerInfo and GetPorts.
#include <cstdio>
#include <mutex>

#include "commands/manager_client.h"
#include "commands/server_info_text.h"
#include "common/module_identity.h"
#include "platform/critical_section.h"
#include "protocol/http_param_request.h"
#include "protocol/json_command.h"
#include "protocol/messages.h"
#include "settings/log.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"

namespace zep {

namespace {

constexpr const char* kLegacyClientTag = "kelpm_13000404";
constexpr const char* kLegacyModuleVersion = "13,0,0,0404";

int32_t PortOrMissing(const PortTable& table, const char* name) {
  auto entry = table.find(name);
  return entry == table.end() ? -1 : entry->second;
}

}  // namespace

// The one-line server object of GetServerInfo and SetServerInfo. The host is
// written as a JSON string with only what JSON needs escaped, so a stored
// text keeps the object valid and every other byte as it was.
std::string ServerInfoText(const std::string& host, int32_t qroPort, int32_t qroSslPort, int32_t zepPort,
                           int32_t zepSslPort) {
  char ports[160];
  std::snprintf(ports, sizeof ports,
                ",\"qro\":{\"port\":\"%d\",\"sslPort\":\"%d\"},\"zep\":{\"port\":\"%d\",\"sslPort\":\"%d\"}}", qroPort,
                qroSslPort, zepPort, zepSslPort);
  return "{\"Host\":" + QuoteJsonText(host) + ports;
}

void ManagerClient::VersionInfo(HttpParamRequest& request) {
  const bool legacy = request.GetVersion() == kLegacyClientTag;
  request.SetResult(legacy ? kLegacyModuleVersion : kModuleVersion);
  request.SetEventResult(kModuleDescription);

  const std::string sid = GetConnectionUserSID(request.GetClientSocket());
  const std::string userKey = UserKeyOf(sid);
  {
    std::lock_guard<platform::Mutex> guard(tablesMutex);
    userKeys[userKey] = sid;
  }
  request.SetEventResult(userKey);

  const bool perUserMode = !legacy && WorkMode() == ZEP_WORK_MODE_SERVICE && EnhancedModeEnabled();
  if (perUserMode) {
    request.SetEventResult("true");
    std::string ignoredError;
    GetCurrentUserModulePorts(sid, ignoredError);
  } else {
    request.SetEventResult("false");
  }
  request.SetEventResult("64");
}

void ManagerClient::TKVersion(HttpParamRequest& request) {
  const std::string version = request.Values().empty() ? GetConfiguration("TKVersion", "0") : std::string();
  request.SetResult(version);
  request.SetEventResult(kServiceDescription);
}

void ManagerClient::GetServerInfo(HttpParamRequest& request) {
  const std::string host = GetConfiguration("Server", nullptr);
  const PortTable plain = ReadPorts();
  const PortTable secure = ReadSslPorts();
  request.SetResultText(ServerInfoText(host, PortOrMissing(plain, "qro"), PortOrMissing(secure, "qro"),
                                       PortOrMissing(plain, "zep"), PortOrMissing(secure, "zep")));
}

void ManagerClient::GetPorts(HttpParamRequest& request) {
  if (!CheckParameterCount(request, 1)) return;
  std::string userKey;
  GetParamAsString(request.Values()[0].get(), userKey);
  // A page learns only its own user's ports: the key must name the user
  // behind this very connection. Any other key reads as unknown.
  const std::string caller = GetConnectionUserSID(request.GetClientSocket());
  std::string sid;
  {
    std::lock_guard<platform::Mutex> guard(tablesMutex);
    auto known = userKeys.find(userKey);
    if (known != userKeys.end() && known->second == caller) sid = known->second;
  }

  std::string error;
  const PortMap ports = GetCurrentUserModulePorts(sid, error);
  if (!error.empty()) {
    request.SetResult(false, kErrorUserInstance, error);
    return;
  }
  std::string text = "{";
  bool first = true;
  for (const auto& entry : ports) {
    char member[160];
    std::snprintf(member, sizeof member, "%s\"%s\":{\"port\":%d,\"sslPort\":%d}", first ? "" : ",", entry.first.c_str(),
                  entry.second.first, entry.second.second);
    text += member;
    first = false;
  }
  text += "}";
  request.SetResultJson(text);
}

}  // namespace zep
