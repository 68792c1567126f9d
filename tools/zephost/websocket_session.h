// A WebSocket taken over from an HTTP connection's upgrade request.
#pragma once

#include <memory>
#include <string>

#include "client_shares.h"
#include "host_state.h"

namespace zephost {

// Serves the WebSocket until it closes: one message at a time, handed to the
// module, its replies sent in order. The connection keeps its slot and shares.
void StartWebSocketSession(HostServer::State& state, std::shared_ptr<beast::tcp_stream> stream,
                           std::unique_ptr<ConnectionSlot> slot, std::string user, std::unique_ptr<ShareSlot> userShare,
                           std::unique_ptr<ShareSlot> originShare, http::request<http::string_body> request);

}  // namespace zephost
