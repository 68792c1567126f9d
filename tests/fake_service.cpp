// Stands in for the service executable in its per-user mode:
//   fake_service "-asconsole" "-asuser" <stop event> <sid> "notused"
// Records its arguments in fake_service.args, then acts as fake_service.mode in its folder says:
//   "serve"  - records its ports, ends when the stop event is set (writing fake_service.stopped);
//   "exit"   - ends at once, as a killed copy would;
//   "ignore" - records its ports and ignores the stop event for 30 s;
//   "spawn"  - as "ignore", having started a child of its own (fake_service -child, which waits
//              30 s), whose pid it writes to fake_service.child.
// Its ports are four loopback listeners of its own (qro, qro_ssl, zep, zep_ssl), recorded in
// user_config.ini and, for the tests, in fake_service.ports.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "host_support/loopback_socket.h"
#include "platform/file_system.h"
#include "platform/named_event.h"
#include "platform/profile.h"

namespace {

using namespace std::chrono_literals;

std::string Folder() {
  const std::string path = zep::platform::ModuleFilePath();
  return path.substr(0, path.rfind(zep::platform::kPathSeparator) + 1);
}

void RecordPorts(const std::string& sid) {
  static zep::host::LoopbackListener listeners[4];
  const std::string file = Folder() + "user_config.ini";
  const char* names[] = {"qro", "qro_ssl", "zep", "zep_ssl"};
  std::string ports;
  for (int i = 0; i < 4; ++i) {
    const std::string port = std::to_string(listeners[i].Port());
    zep::platform::WriteProfileValue(sid.c_str(), names[i], port.c_str(), file.c_str());
    ports += port + "\n";
  }
  std::ofstream(Folder() + "fake_service.ports") << ports;
}

// Returns the child's pid, 0 when it could not be started.
unsigned StartChild() {
  const std::string self = zep::platform::ModuleFilePath();
#ifdef _WIN32
  std::string line = "\"" + self + "\" -child";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(self.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return 0;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return info.dwProcessId;
#else
  const pid_t pid = fork();
  if (pid == 0) {
    execl(self.c_str(), self.c_str(), "-child", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid > 0 ? static_cast<unsigned>(pid) : 0;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "-child") {
    std::this_thread::sleep_for(30s);
    return 0;
  }
  const std::string folder = Folder();
  {
    std::ofstream args(folder + "fake_service.args");
    for (int i = 0; i < argc; ++i) args << argv[i] << "\n";
  }
  if (argc != 6 || std::string(argv[1]) != "-asconsole" || std::string(argv[2]) != "-asuser") return 2;
  std::string mode;
  std::ifstream(folder + "fake_service.mode") >> mode;

  zep::platform::NamedEventListener stop(argv[3]);
  if (mode == "exit") std::_Exit(0);  // no destructors, as when killed
  // One write, so that the test never reads half a pid.
  if (mode == "spawn") std::ofstream(folder + "fake_service.child") << StartChild() << "\n";
  RecordPorts(argv[4]);
  if (mode != "serve") {
    std::this_thread::sleep_for(30s);
    return 0;
  }
  if (!stop.WaitSet(30000)) return 1;
  std::ofstream(folder + "fake_service.stopped") << "stopped\n";
  return 0;
}
