// Turning a host request's path and text into one command text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zep_exports.h"

namespace zep {

enum class Route { LoadZipFromBytes, CheckUpdateFile, Module, None };

struct RoutedCommand {
  Route route = Route::None;
  std::string commandText;
  // Module route: the bytes after the header end, when there are any.
  std::string moduleBody;
};

// The first route that matches the URL, and its command text.
RoutedCommand RouteCommand(const std::string& url, std::string requestText);

// Hands the host the reply of last resort, for a request the module could not
// take or answer otherwise. The callback's result, or 0.
int32_t SendFallbackReply(SendBackCallback sendBack, uint32_t sendBackHandle, uint64_t connectionContext) noexcept;

// The value of "tkver=", taken only when another query item follows it.
std::string GetUrlVersion(const std::string& url);

}  // namespace zep
