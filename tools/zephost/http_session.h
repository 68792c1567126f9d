// An accepted connection, served as HTTP until it asks for a WebSocket.
#pragma once

#include "host_state.h"

namespace zephost {

// Serves the connection: its user is asked of the system first, then its
// requests go one after the other, to the module or the console page.
void StartHttpSession(HostServer::State& state, tcp::socket socket);

}  // namespace zephost
