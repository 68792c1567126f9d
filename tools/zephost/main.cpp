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

// The module beside zephost; installed, the library lies in ../lib instead.
std::string DefaultModulePath() {
  const std::string folder = DirectoryOf(zep::platform::ModuleFilePath());
#ifdef _WIN32
  return folder + "zep.dll";
#else
  const std::string beside = folder + "libzep.so";
  if (std::ifstream(beside).good()) return beside;
  return folder + "../lib/libzep.so";
#endif
}

int Usage() {
  std::fprintf(stderr,
               "usage: zephost [--module PATH] [--port N]\n"
               "       zephost -asconsole -asuser <stop event> <sid> notused\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string modulePath = DefaultModulePath();
  int port = -1;
  bool perUser = false;
  std::string stopEvent, sid;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--module" && i + 1 < argc) {
      modulePath = argv[++i];
    } else if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "-asconsole" && i + 4 < argc && std::string(argv[i + 1]) == "-asuser") {
      perUser = true;
      stopEvent = argv[i + 2];
      sid = argv[i + 3];
      i += 4;
    } else {
      return Usage();
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
  const uint16_t servedPort =
      server.Listen(static_cast<uint16_t>(perUser ? 0 : (port >= 0 ? port : defaultPort)), error);
  if (servedPort == 0) {
    std::fprintf(stderr, "zephost: cannot listen: %s\n", error.c_str());
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

  std::printf("zephost: module %s (%s, alias %s)\n", modulePath.c_str(), tag, reinterpret_cast<const char*>(&alias));
  std::printf("zephost: console at http://127.0.0.1:%u/\n", static_cast<unsigned>(servedPort));
  std::fflush(stdout);

  server.Run();
  watching = false;
  if (stopWatch.joinable()) stopWatch.join();
  module.DoAction(3, nullptr, nullptr);
  std::printf("zephost: stopped\n");
  return 0;
}
