// The console page that the host serves on every path outside the module
// (console.html, built in): every command over WebSocket, its reply paired by
// cmdId, labelled, errors shown as errors; it reconnects when the host comes back.
#pragma once

#include <string>

namespace zephost {

const std::string& ConsolePage();

}  // namespace zephost
