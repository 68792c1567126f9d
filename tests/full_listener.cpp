// A loopback port whose connects get no answer, for the host's load tests:
// a listener with a backlog of 0 and one connection queued, which nobody
// accepts, so that the system drops every further SYN. Prints the port, then
// holds it until its standard input ends.
#include <cstdio>
#include <iostream>
#include <string>

#include "host_support/loopback_socket.h"

int main() {
  zep::host::LoopbackListener full(false, 0);
  if (!full.Valid()) return 1;
  zep::host::TcpSocket queued = zep::host::ConnectLoopback(full.Port());
  if (!queued.Valid()) return 1;
  std::printf("%u\n", static_cast<unsigned>(full.Port()));
  std::fflush(stdout);
  for (std::string line; std::getline(std::cin, line);) {
  }
  return 0;
}
