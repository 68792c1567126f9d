// zephost: a host service for the zep module. Loads the module, serves HTTP
// and WebSocket on 127.0.0.1 and hands the module its requests.
//
//   zephost [--module PATH] [--port N]
//   zephost -asconsole -asuser <stop event> <sid> notused     (a per-user copy)
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "host_server.h"
#include "module_library.h"
#include "platform/file_system.h"
#include "platform/named_event.h"
#include "platform/profile.h"

namespace {

std::string DirectoryOf(const std::string& path) {
  return path.substr(0, path.rfind(zep::platform::kPathSeparator) + 1);
}

// The module beside zephost (in the build tree), else where the install puts it.
std::string DefaultModulePath() {
  const std::string folder = DirectoryOf(zep::platform::ModuleFilePath());
#ifdef _WIN32
  const std::string beside = folder + "zep.dll";
#else
  const std::string beside = folder + "libzep.so";
#endif
  if (std::ifstream(beside).good()) return beside;
  std::string installed = folder + ZEP_INSTALLED_MODULE;
  for (char& c : installed)
    if (c == '/') c = zep::platform::kPathSeparator;
  return installed;
}

constexpr const char* kUsage =
    "usage: zephost [--module PATH] [--port N]\n"
    "       zephost -asconsole -asuser <stop event> <sid> notused\n"
    "Serves the module on 127.0.0.1. The port is N (1 to 65535), else the zep\n"
    "entry of the port table in TKConfiguration.ini beside the module, else the\n"
    "module's default port.\n";

// A command-line mistake: what was wrong, then the usage.
int Mistake(const std::string& what) {
  std::fprintf(stderr, "zephost: %s\n%s", what.c_str(), kUsage);
  return 2;
}

// A port from 1 to 65535, written in decimal digits only; 0 otherwise.
uint16_t ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= 1 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

// The port of the "zep" entry of the plain port table, as SetServerInfo wrote it; 0 when there is none.
uint16_t ConfiguredPort(const std::string& moduleFolder) {
  const std::string file = moduleFolder + "TKConfiguration.ini";
  for (int i = 0; i < 10; ++i) {
    char name[520] = {0}, port[520] = {0};
    const std::string nameKey = "Port_mn_" + std::to_string(i), portKey = "Port_mp_" + std::to_string(i);
    if (zep::platform::ReadProfileValue("TK", nameKey.c_str(), "", name, sizeof name, file.c_str()) == 0) break;
    if (std::string(name) != "zep") continue;
    zep::platform::ReadProfileValue("TK", portKey.c_str(), "", port, sizeof port, file.c_str());
    return ParsePort(port);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string modulePath = DefaultModulePath();
  uint16_t port = 0;
  bool perUser = false;
  std::string stopEvent, sid;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--module" || arg == "--port") {
      if (i + 1 >= argc) return Mistake(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--module") {
        modulePath = value;
      } else if ((port = ParsePort(value)) == 0) {
        return Mistake("--port takes a number from 1 to 65535, not \"" + value + "\"");
      }
    } else if (arg == "-asconsole") {
      if (i + 4 >= argc || std::string(argv[i + 1]) != "-asuser" || std::string(argv[i + 4]) != "notused")
        return Mistake("-asconsole takes -asuser <stop event> <sid> notused");
      perUser = true;
      stopEvent = argv[i + 2];
      sid = argv[i + 3];
      i += 4;
    } else {
      return Mistake("unknown argument \"" + arg + "\"");
    }
  }

  zephost::ModuleLibrary module;
  if (!module.Load(modulePath)) {
    std::fprintf(stderr, "zephost: %s\n", module.Error().c_str());
    return 1;
  }
  const std::string self = zep::platform::ModuleFilePath();
  // A per-user copy starts the module in work mode 3, so it starts no copies of its own.
  module.DoAction(perUser ? 4 : 0, self.c_str(), nullptr);

  char tag[64] = {0};
  if (module.GetVersionDesc(nullptr) <= sizeof tag) module.GetVersionDesc(tag);
  uint32_t alias = 0;
  module.GetAlias(&alias);
  uint32_t defaultPort = 0;
  module.GetPorts(false, &defaultPort);

  zephost::HostServer server(module);
  std::string error;
  if (!perUser && port == 0) port = ConfiguredPort(DirectoryOf(modulePath));
  if (!perUser && port == 0) port = static_cast<uint16_t>(defaultPort);
  const uint16_t servedPort = server.Listen(perUser ? 0 : port, error);
  if (servedPort == 0) {
    std::fprintf(stderr, "zephost: cannot listen on 127.0.0.1:%u: %s\n", static_cast<unsigned>(port), error.c_str());
    module.DoAction(3, nullptr, nullptr);
    return 1;
  }

  std::thread stopWatch;
  std::atomic<bool> watching{true};
  if (perUser) {
    // The module reads these ports from the user configuration; no TLS here.
    const uint16_t qroPort = server.Listen(0, error);
    const std::string file = DirectoryOf(modulePath) + "user_config.ini";
    zep::platform::WriteProfileValue(sid.c_str(), "zep", std::to_string(servedPort).c_str(), file.c_str());
    zep::platform::WriteProfileValue(sid.c_str(), "zep_ssl", "0", file.c_str());
    zep::platform::WriteProfileValue(sid.c_str(), "qro", std::to_string(qroPort).c_str(), file.c_str());
    zep::platform::WriteProfileValue(sid.c_str(), "qro_ssl", "0", file.c_str());
    stopWatch = std::thread([&] {
      zep::platform::NamedEventListener stop(stopEvent);
      while (watching && !stop.WaitSet(100)) {
      }
      server.Stop();
    });
  }

  // The version tag and alias are the module's constants: plain letters and digits.
  server.SetPageInfo(std::string("{\"versionTag\":\"") + tag + "\",\"alias\":\"" +
                     reinterpret_cast<const char*>(&alias) + "\",\"port\":" + std::to_string(servedPort) + "}");
  std::printf("zephost: module %s (%s, alias %s)\n", modulePath.c_str(), tag, reinterpret_cast<const char*>(&alias));
  std::printf("zephost: console at http://127.0.0.1:%u/\n", static_cast<unsigned>(servedPort));
  std::fflush(stdout);

  const bool callsEnded = server.Run();
  watching = false;
  if (stopWatch.joinable()) stopWatch.join();
  if (!callsEnded) {
    // The module may not be stopped or unloaded under a call: the process
    // ends with the calls still in it (and on Windows with its per-user
    // copies, whose job closes with it).
    std::printf("zephost: stopped; module calls still running after 5 s were abandoned\n");
    std::fflush(stdout);
    std::_Exit(0);
  }
  module.DoAction(3, nullptr, nullptr);
  std::printf("zephost: stopped\n");
  return 0;
}
