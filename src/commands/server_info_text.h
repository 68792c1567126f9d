// The one-line server object shared by GetServerInfo and SetServerInfo.
#pragma once

#include <cstdint>
#include <string>

namespace zep {

std::string ServerInfoText(const std::string& host, int32_t qroPort, int32_t qroSslPort, int32_t zepPort,
                           int32_t zepSslPort);

}  // namespace zep
