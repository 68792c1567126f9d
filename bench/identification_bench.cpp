// Finding the process at the other end of a page's connection, with 20,000
// sockets held open elsewhere on the machine (by two helper processes), as a
// busy machine has them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "commands/manager_client.h"
#include "host_support/loopback_socket.h"

namespace {

constexpr int kHelpers = 2;
constexpr int kSocketsPerHelper = 10000;

#ifndef _WIN32
// Helper processes that each hold their share of the sockets until killed.
std::vector<pid_t> StartHelpers() {
  std::vector<pid_t> helpers;
  for (int i = 0; i < kHelpers; ++i) {
    int ready[2];
    if (pipe(ready) != 0) break;
    const pid_t pid = fork();
    if (pid == 0) {
      rlimit files{};
      getrlimit(RLIMIT_NOFILE, &files);
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      for (int n = 0; n < kSocketsPerHelper; ++n)
        if (socket(AF_INET, SOCK_STREAM, 0) < 0) break;
      char done = 1;
      if (write(ready[1], &done, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char done = 0;
    if (pid > 0 && read(ready[0], &done, 1) == 1) helpers.push_back(pid);
    close(ready[0]);
    close(ready[1]);
  }
  return helpers;
}

void StopHelpers(const std::vector<pid_t>& helpers) {
  for (pid_t pid : helpers) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}
#endif

void IdentifyConnection(benchmark::State& state) {
#ifndef _WIN32
  const std::vector<pid_t> helpers = StartHelpers();
  state.counters["sockets_elsewhere"] = static_cast<double>(helpers.size()) * kSocketsPerHelper;
#endif
  zep::host::LoopbackListener listener;
  zep::host::TcpSocket client = zep::host::ConnectLoopback(listener.Port());
  zep::host::TcpSocket served = listener.Accept();
  client.Send("x", 1);  // Wine names an owner once the socket was used
  for (auto _ : state) benchmark::DoNotOptimize(zep::GetConnectionProcessID(served.Value()));
#ifndef _WIN32
  StopHelpers(helpers);
#endif
}

BENCHMARK(IdentifyConnection)->Unit(benchmark::kMicrosecond);

}  // namespace
