// zephost: a host service for the zep module. Loads the module, serves HTTP
// and WebSocket on 127.0.0.1 and hands the module its requests.
//
//   zephost [--module PATH] [--port N]
//   zephost --install-service [--module PATH] [--port N]      (Windows)
//   zephost --uninstall-service                               (Windows)
//   zephost --service [--module PATH] [--port N]              (the service manager's)
//   zephost -asconsole -asuser <stop event> <sid> notused     (a per-user copy)
#include <atomic>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "host_server.h"
#include "host_support/host_platform.h"
#include "module_library.h"
#include "service.h"

namespace {

using zep::host::FolderOf;

constexpr const char* kUsage =
    "usage: zephost [--module PATH] [--port N]\n"
    "       zephost --install-service [--module PATH] [--port N]\n"
    "       zephost --uninstall-service\n"
    "       zephost -asconsole -asuser <stop event> <sid> notused\n"
    "Serves the module on 127.0.0.1. The port is N (1 to 65535), else the zep\n"
    "entry of the port table in TKConfiguration.ini beside the module, else the\n"
    "module's default port. On Windows, --install-service registers zephost as\n"
    "the service \"zephost\" that runs it with these options, started at boot\n"
    "as LocalSystem; --uninstall-service stops and removes it.\n";

enum class Run { kHost, kService, kInstallService, kUninstallService };

struct Options {
  Run run = Run::kHost;
  std::string modulePath;
  bool moduleGiven = false;
  uint16_t port = 0;
  bool perUser = false;  // a copy started for a user: -asconsole -asuser
  std::string stopEvent, sid;
};

// The module beside zephost (in the build tree), else where the install puts
// it; both found from zephost's own path as the system knows it.
std::string DefaultModulePath() {
  const std::string folder = FolderOf(zep::host::ExecutablePath());
#ifdef _WIN32
  const std::string beside = folder + "zep.dll";
#else
  const std::string beside = folder + "libzep.so";
#endif
  if (std::ifstream(beside).good()) return beside;
  return folder + zep::host::NativePath(ZEP_INSTALLED_MODULE);
}

bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
  // A drive's root ("C:\\...") or a UNC or device path ("\\\\...").
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
#else
  return !path.empty() && path[0] == '/';
#endif
}

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

// -1 when the options are complete, else the exit code (after the usage or a mistake).
int ParseOptions(int argc, char** argv, Options& options) {
  options.modulePath = DefaultModulePath();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--module" || arg == "--port") {
      if (i + 1 >= argc) return Mistake(arg + " needs a value");
      const std::string value = argv[++i];
      if (arg == "--module") {
        // A relative path would name whatever the working folder holds.
        if (!IsAbsolutePath(value)) return Mistake("--module takes an absolute path, not \"" + value + "\"");
        options.modulePath = value;
        options.moduleGiven = true;
      } else if ((options.port = ParsePort(value)) == 0) {
        return Mistake("--port takes a number from 1 to 65535, not \"" + value + "\"");
      }
    } else if (arg == "--service" || arg == "--install-service" || arg == "--uninstall-service") {
      if (options.run != Run::kHost) return Mistake(arg + " cannot be combined with another of its kind");
      options.run = arg == "--service"           ? Run::kService
                    : arg == "--install-service" ? Run::kInstallService
                                                 : Run::kUninstallService;
    } else if (arg == "-asconsole") {
      if (i + 4 >= argc || std::string(argv[i + 1]) != "-asuser" || std::string(argv[i + 4]) != "notused")
        return Mistake("-asconsole takes -asuser <stop event> <sid> notused");
      options.perUser = true;
      options.stopEvent = argv[i + 2];
      options.sid = argv[i + 3];
      i += 4;
    } else {
      return Mistake("unknown argument \"" + arg + "\"");
    }
  }
  if (options.run != Run::kHost && options.perUser) return Mistake("-asconsole runs no service");
  if (options.run == Run::kUninstallService && (options.moduleGiven || options.port != 0))
    return Mistake("--uninstall-service takes no other option");
  return -1;
}

// The options the service runs with, as its command line writes them.
std::string ServiceArguments(const Options& options) {
  std::string arguments;
  if (options.moduleGiven) arguments += "--module \"" + options.modulePath + "\"";
  if (options.port != 0)
    arguments += std::string(arguments.empty() ? "" : " ") + "--port " + std::to_string(options.port);
  return arguments;
}

int32_t KeepReply(uint32_t, uint64_t context, const char* text, const void*, uint32_t, intptr_t) {
  *reinterpret_cast<std::string*>(static_cast<uintptr_t>(context)) = text;
  return 0;
}

// The zep port that SetServerInfo stored, as the module's GetServerInfo
// answers it ({"Host":...,"zep":{"port":"N",...}}); 0 when there is none.
uint16_t ConfiguredPort(zephost::ModuleLibrary& module) {
  std::string reply;
  module.DistributeCommand(1, reinterpret_cast<uintptr_t>(&reply), 0, "/zep/zephost",
                           "{\"id\":\"1\",\"method\":\"GetServerInfo\"}", nullptr, 0, 1, &KeepReply, 0, "", 0, 0, 0);
  const std::string key = "\"zep\":{\"port\":\"";
  const size_t start = reply.find(key);
  if (start == std::string::npos) return 0;
  const size_t value = start + key.size();
  return ParsePort(reply.substr(value, reply.find('"', value) - value));
}

// A per-user copy records its ports where the module reads them (no TLS
// here) and ends its server when the stop event is set.
std::thread ServePerUser(const Options& options, const std::string& moduleFile, zephost::HostServer& server,
                         uint16_t servedPort, std::atomic<bool>& watching) {
  std::string error;
  const uint16_t qroPort = server.Listen(0, error);
  const std::string file = FolderOf(moduleFile) + "user_config.ini";
  zep::host::WriteIniValue(options.sid, "zep", std::to_string(servedPort), file);
  zep::host::WriteIniValue(options.sid, "zep_ssl", "0", file);
  zep::host::WriteIniValue(options.sid, "qro", std::to_string(qroPort), file);
  zep::host::WriteIniValue(options.sid, "qro_ssl", "0", file);
  return std::thread([&server, &watching, event = options.stopEvent] {
    zep::host::StopEvent stop(event);
    while (watching && !stop.WaitSet(100)) {
    }
    server.Stop();
  });
}

// What the console page shows of the module: its version tag, alias and port.
std::string PageInfo(zephost::ModuleLibrary& module, uint16_t port, std::string& tag, std::string& alias) {
  char text[64] = {0};
  if (module.GetVersionDesc(nullptr) <= sizeof text) module.GetVersionDesc(text);
  tag = text;
  uint32_t aliasBytes = 0;
  module.GetAlias(&aliasBytes);
  alias = std::string(reinterpret_cast<const char*>(&aliasBytes), 3);
  // The version tag and alias are the module's constants: plain letters and digits.
  return "{\"versionTag\":\"" + tag + "\",\"alias\":\"" + alias + "\",\"port\":" + std::to_string(port) + "}";
}

// How long a stop may take, for the service manager: the module answers 1
// while commands run or ran in the last 30 s (they get 5 s to end) and 100
// once it has been idle longer.
uint32_t StopWaitHint(zephost::ModuleLibrary& module) { return module.GetWaitTimeout() == 1 ? 8000 : 3000; }

// Loads the module and serves it until a signal or the service manager stops
// it. abandoned: module calls outlived the stop, so the module may be neither
// stopped nor unloaded; the caller ends the process with it loaded.
int RunHost(const Options& options, zephost::ModuleLibrary& module, zephost::Lifecycle& lifecycle, bool& abandoned) {
  using zephost::Say;
  using zephost::Severity;
  lifecycle.Starting();
  if (!module.Load(options.modulePath)) {
    Say(Severity::kError, module.Error());
    return 1;
  }
  // A per-user copy starts the module in work mode 3, so it starts no copies of its own.
  module.DoAction(options.perUser ? ZEP_ACTION_START_COPY : ZEP_ACTION_START, zep::host::ExecutablePath().c_str(),
                  nullptr);

  // Left alive when calls are abandoned: they still hold its connections.
  auto server = std::make_unique<zephost::HostServer>(module);
  uint16_t port = options.perUser ? 0 : options.port;
  if (!options.perUser && port == 0) port = ConfiguredPort(module);
  if (!options.perUser && port == 0) {
    uint32_t defaultPort = 0;
    module.GetPorts(false, &defaultPort);
    port = static_cast<uint16_t>(defaultPort);
  }
  std::string error;
  bool portInUse = false;
  const uint16_t servedPort = server->Listen(port, error, &portInUse);
  if (servedPort == 0) {
    if (portInUse) error = "the port is in use by another program (start zephost with --port N to use another port)";
    Say(Severity::kError, "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + error);
    module.DoAction(ZEP_ACTION_STOP, nullptr, nullptr);
    return 1;
  }
  std::atomic<bool> watching{true};
  std::thread stopWatch;
  if (options.perUser) {
    // The module keeps its files beside the file it was loaded from, which
    // a link (the package's) may lead to from elsewhere.
    const std::string loaded = module.LoadedPath();
    stopWatch = ServePerUser(options, loaded.empty() ? options.modulePath : loaded, *server, servedPort, watching);
  }

  std::string tag, alias;
  server->SetPageInfo(PageInfo(module, servedPort, tag, alias));
  Say(Severity::kInfo, "module " + options.modulePath + " (" + tag + ", alias " + alias + ")");
  Say(Severity::kInfo, "console at http://127.0.0.1:" + std::to_string(servedPort) + "/");
  // The server itself, not its owner: released when calls are abandoned, it lives on.
  lifecycle.Running([running = server.get()] { running->Stop(); });
  // On every way out, before the server can go: the stop names it.
  struct EndOfRun {
    zephost::Lifecycle& lifecycle;
    ~EndOfRun() { lifecycle.Ended(); }
  } endOfRun{lifecycle};

  const bool callsEnded = server->Run();
  watching = false;
  if (stopWatch.joinable()) stopWatch.join();
  if (!callsEnded) {
    // The process ends with the calls still in it (and on Windows with its
    // per-user copies, whose job closes with it).
    Say(Severity::kInfo, "stopped; module calls still running after 5 s were abandoned");
    abandoned = true;
    server.release();
    return 0;
  }
  lifecycle.Stopping(StopWaitHint(module));
  module.DoAction(ZEP_ACTION_STOP, nullptr, nullptr);
  Say(Severity::kInfo, "stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef __GLIBC__
  // glibc raises its mmap threshold to the size of each large block it
  // frees, after which the buffers of large messages come from the threads'
  // arenas, which keep them when freed: a fixed threshold maps every large
  // block apart and gives it back to the system when it is freed.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
  Options options;
  if (const int exitCode = ParseOptions(argc, argv, options); exitCode >= 0) return exitCode;
  std::string error;
  switch (options.run) {
    case Run::kInstallService:
      // The path goes between quotes on the service's command line.
      if (options.modulePath.find('"') != std::string::npos || options.modulePath.back() == '\\')
        return Mistake("--module takes the path of a file, not \"" + options.modulePath + "\"");
      if (!zephost::InstallService(ServiceArguments(options), error)) break;
      zephost::Say(zephost::Severity::kInfo, std::string("installed the service ") + zephost::kServiceName);
      return 0;
    case Run::kUninstallService:
      if (!zephost::UninstallService(error)) break;
      zephost::Say(zephost::Severity::kInfo, std::string("removed the service ") + zephost::kServiceName);
      return 0;
    case Run::kService:
    case Run::kHost: {
      // Outlives the host's run: abandoned calls may still be inside it.
      zephost::ModuleLibrary module;
      bool abandoned = false;
      int exitCode = 0;
      if (options.run == Run::kService) {
        const auto host = [&](zephost::Lifecycle& lifecycle) { return RunHost(options, module, lifecycle, abandoned); };
        if (!zephost::RunAsService(host, exitCode, error)) break;
      } else {
        zephost::Lifecycle terminal;
        exitCode = RunHost(options, module, terminal, abandoned);
      }
      if (abandoned) std::_Exit(exitCode);
      return exitCode;
    }
  }
  zephost::Say(zephost::Severity::kError, error);
  return 1;
}
