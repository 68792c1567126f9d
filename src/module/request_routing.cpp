// From a host request to one command and back through the host's callback.
#include "module/request_routing.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "commands/manager_client.h"
#include "common/find_no_case.h"
#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "protocol/http_param_request.h"
#include "protocol/messages.h"
#include "settings/log.h"

namespace zep {

RoutedCommand RouteCommand(const std::string& url, std::string requestText) {
  RoutedCommand routed;
  if (url.find("/LoadZipFromBytes") != std::string::npos) {
    routed.route = Route::LoadZipFromBytes;
    std::string type = "0";
    const size_t typeAt = url.find("?type=");
    if (typeAt != std::string::npos) type = url.substr(typeAt + 6, 1);
    routed.commandText =
        "{\"id\":\"1\",\"method\":\"LoadZipFromBytes\",\"parameter\":[" + type + ",\"" + GetUrlVersion(url) + "\"]}";
  } else if (url.find("/CheckUpdateFile") != std::string::npos) {
    routed.route = Route::CheckUpdateFile;
    routed.commandText = requestText.size() < 2 ? requestText : requestText.substr(0, requestText.size() - 2);
    routed.commandText += "\"" + GetUrlVersion(url) + "\"]}";
  } else if (url.compare(0, 5, "/zep/") == 0) {
    routed.route = Route::Module;
    // The header end has no letters: a plain search finds what a search
    // that ignores case would. The text is the host's C string: it has no NUL.
    const size_t headerEnd = requestText.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
      routed.moduleBody = requestText.substr(headerEnd + 4);
      requestText.resize(headerEnd);
    }
    routed.commandText = std::move(requestText);
  }
  return routed;
}

std::string GetUrlVersion(const std::string& url) {
  const size_t start = url.find("tkver=");
  if (start == std::string::npos) return std::string();
  const size_t end = url.find('&', start + 1);
  if (end == std::string::npos) return std::string();
  return url.substr(start + 6, end - (start + 6));
}

int32_t DistributeCommand(uint32_t sendBackHandle, uint64_t connectionContext, int32_t skipRequest, const char* url,
                          const char* requestText, const uint8_t* binaryBody, uint32_t binaryBodyLength,
                          uint32_t clientSupported, SendBackCallback sendBack, uint32_t clientSocket,
                          const char* origin, intptr_t hostData1, intptr_t hostData2, intptr_t hostData3) {
  if (skipRequest != 0) return 0;
  try {
    std::unique_ptr<uint8_t[]> body;
    if (binaryBody != nullptr) {
      body.reset(new (std::nothrow) uint8_t[binaryBodyLength == 0 ? 1 : binaryBodyLength]);
      if (body != nullptr) std::memcpy(body.get(), binaryBody, binaryBodyLength);
    }
    const InstanceRef client = VirtualManagerClient::Acquire();
    if (client) {
      // The texts are required; a host that passes none gets the empty text.
      const std::string urlText = url != nullptr ? url : "";
      std::string text = requestText != nullptr ? requestText : "";
      const HostRequest host{sendBackHandle, connectionContext, clientSupported,
                             sendBack,       clientSocket,      origin != nullptr ? origin : "",
                             hostData1,      hostData2,         hostData3};
      // From here on every path replies.
      return client->RouteRequest(host, urlText, std::move(text), body.release());
    }
  } catch (...) {
  }
  // The module could not take the request at all; it still answers it.
  return SendFallbackReply(sendBack, sendBackHandle, connectionContext);
}

int32_t SendFallbackReply(SendBackCallback sendBack, uint32_t sendBackHandle, uint64_t connectionContext) noexcept {
  if (sendBack == nullptr || sendBackHandle == 0) return 0;
  try {
    return sendBack(sendBackHandle, connectionContext, kFallbackReply, nullptr, 0, 0);
  } catch (...) {
    return 0;
  }
}

}  // namespace zep
