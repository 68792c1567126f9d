// Outside Windows, systemd runs zephost as it is.
#include <cstdio>

#include "service.h"

namespace zephost {

namespace {
constexpr const char* kUseSystemd =
    "the service manager here is systemd: the zephost.service unit runs zephost (systemctl enable --now zephost)";
}

void Say(Severity severity, const std::string& text) {
  std::FILE* to = severity == Severity::kError ? stderr : stdout;
  std::fprintf(to, "zephost: %s\n", text.c_str());
  std::fflush(to);
}

bool InstallService(const std::string&, std::string& error) {
  error = kUseSystemd;
  return false;
}

bool UninstallService(std::string& error) {
  error = kUseSystemd;
  return false;
}

bool RunAsService(const std::function<int(Lifecycle&)>&, int&, std::string& error) {
  error = kUseSystemd;
  return false;
}

}  // namespace zephost
