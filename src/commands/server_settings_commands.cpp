// SetServerInfo, ChangePort and CheckQROPort.
#include <string>

#include "commands/manager_client.h"
#include "commands/server_info_text.h"
#include "platform/network.h"
#include "protocol/http_param_request.h"
#include "protocol/messages.h"
#include "settings/log.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"

namespace zep {

// Long enough for a listener on the machine or the local network to answer;
// an address that drops the connect would otherwise hold a command thread for
// the system's whole connect time-out (two minutes and more per port).
constexpr uint32_t kPortCheckMilliseconds = 3000;

namespace {

bool IsPortActive(int32_t port, const std::string& address) {
  const uint16_t port16 = static_cast<uint16_t>(port & 0xFFFF);
  if (!platform::TcpConnectSucceeds(address, port16, kPortCheckMilliseconds)) return false;
  LogInfo("%s:%d is active and used.", LogText(address).c_str(), static_cast<int>(port16));
  return true;
}

// A text bound for an INI file must stay on its line: a line break in it
// would add keys of its own to the file.
bool FitsOnOneIniLine(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

}  // namespace

void ManagerClient::SetServerInfo(HttpParamRequest& request) {
  if (!CheckAdministrator(request)) return;
  if (!CheckParameterCount(request, 5)) return;
  auto& values = request.Values();
  std::string host;
  int32_t zepPort = 0, zepSslPort = 0, qroPort = 0, qroSslPort = 0;
  if (!ValueToText(values[0].get(), host) || !FitsOnOneIniLine(host) || !GetParamAsInt(values[1].get(), &zepPort) ||
      !GetParamAsInt(values[2].get(), &zepSslPort) || !GetParamAsInt(values[3].get(), &qroPort) ||
      !GetParamAsInt(values[4].get(), &qroSslPort)) {
    LogError("%s", Message(kMessageInvalidParameterType));
    request.SetResultText("{}");
    return;
  }
  SetConfiguration("Server", host.c_str());
  SetModulePort(qroPort, "qro");
  SetModuleSslPort(qroSslPort, "qro");
  SetModulePort(zepPort, "zep");
  SetModuleSslPort(zepSslPort, "zep");
  request.SetResultText(ServerInfoText(host, qroPort, qroSslPort, zepPort, zepSslPort));
}

void ManagerClient::ChangePort(HttpParamRequest& request) { request.SetResult(true, 0, ""); }

void ManagerClient::CheckQROPort(HttpParamRequest& request) {
  if (!CheckParameterCount(request, 3)) return;
  auto& values = request.Values();
  std::string address;
  int32_t firstPort = 0, secondPort = 0;
  if (!ValueToText(values[0].get(), address) || !GetParamAsInt(values[1].get(), &firstPort) ||
      !GetParamAsInt(values[2].get(), &secondPort)) {
    LogError("%s", Message(kMessageInvalidParameterType));
    request.SetResultText("{}");
    return;
  }
  bool inUse = IsPortActive(firstPort, address);
  if (!inUse) inUse = IsPortActive(secondPort, address);
  values.clear();
  request.SetResult(!inUse, 0, "");
}

}  // namespace zep
