// The console page that the host serves on every path outside the module.
#pragma once

#include <string>

namespace zephost {

const std::string& ConsolePage();

}  // namespace zephost
