// Folders of the current user.
#pragma once

#include <string>

namespace zep::platform {

// The current user's roaming application-data folder; empty when unknown.
std::string RoamingAppDataFolder();

}  // namespace zep::platform
