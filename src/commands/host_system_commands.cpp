// Reboot, AddFirewall and GetLocalIP.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/manager_client.h"
#include "platform/file_system.h"
#include "platform/host_control.h"
#include "platform/network.h"
#include "platform/system_error.h"
#include "protocol/http_param_request.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/settings_store.h"

namespace zep {

constexpr const char* kFirewallBatchName = "CorvantisServiceFirewall.bat";

namespace {

// cmd expands %...% even between quotes: a path's own % is written doubled.
std::string BatchLiteral(const std::string& text) {
  std::string literal;
  for (char c : text) {
    literal += c;
    if (c == '%') literal += '%';
  }
  return literal;
}

}  // namespace

std::string FirewallBatchText(const std::string& servicePath) {
  return "@echo off\r\n"
         "netsh advfirewall firewall delete rule name=\"Corvantis_ServiceRule\"\r\n"
         "netsh advfirewall firewall add rule action=allow name=\"Corvantis_ServiceRule\" dir=in program=\"" +
         BatchLiteral(servicePath) +
         "\"\r\n"
         "del %0\r\n"
         "exit\r\n";
}

namespace {

bool AddFirewallRule() {
  char folder[kMaxPath] = {0};
  const uint32_t length = platform::TempPath(folder, kMaxPath);
  if (length == 0 || length > kMaxPath) {
    LogDebug("failed to get temp path: errno=%d", static_cast<int>(platform::LastSystemError()));
    return false;
  }
  LogDebug("ok to get temp path: %s", folder);
  const std::string text = FirewallBatchText(GetServiceExecutablePath());
  std::string path = folder;
  if (path.empty() || path.back() != platform::kPathSeparator) path += platform::kPathSeparator;
  path += kFirewallBatchName;
  // The folder may be open to other users (where the system has no temporary
  // folder of SYSTEM's own, or the service runs as another account): the
  // file is made anew for this user alone, and only a file made so is run
  // with elevation, by its full path so that no other file of that name is
  // found first. It runs in the system's folder: the command processor looks
  // for the programs it names in the working folder first, and a netsh
  // planted in the temporary folder would run elevated.
  if (!platform::WriteNewPrivateFile(path, text)) {
    // Nothing was run: a success would be a lie.
    LogError("AddFirewall:: the batch file %s could not be made.", LogText(path).c_str());
    return false;
  }
  platform::RunElevated(path, platform::SystemFolder());
  return true;
}

}  // namespace

void ManagerClient::Reboot(HttpParamRequest& request) {
  if (!CheckAdministrator(request)) return;
  platform::EndCurrentProcessNow();
}

void ManagerClient::AddFirewall(HttpParamRequest& request) {
  if (!CheckAdministrator(request)) return;
  const bool ok = AddFirewallRule();
  request.SetResult(ok, 0, "");
}

void ManagerClient::GetLocalIP(HttpParamRequest& request) {
  if (!CheckLocalOrigin(request)) return;
  std::string text = "[";
  std::vector<platform::Ipv4Address> addresses;
  if (platform::ListInterfaceAddresses(addresses)) {
    bool first = true;
    for (const auto& address : addresses) {
      if (address == platform::Ipv4Address{127, 0, 0, 1}) continue;
      char dotted[24];
      std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
      if (!first) text += ",";
      text += "\"";
      text += dotted;
      text += "\"";
      first = false;
    }
  }
  text += "]";
  request.SetResultText(text);
}

}  // namespace zep
