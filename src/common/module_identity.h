// Who the module is (its version, names and default ports) and the work
// mode that DoAction sets, which every layer may read.
#pragma once

namespace zep {

constexpr const char* kModuleVersion = "16, 2, 6, 1212";
constexpr const char* kModuleAlias = "zep";
constexpr const char* kModuleDescription = "Corvantis Service Manager Module";
constexpr const char* kServiceDescription = "Corvantis Service";
constexpr unsigned kDefaultPort = 18625;
constexpr unsigned kDefaultSslPort = 18626;

int WorkMode();
void SetWorkMode(int mode);

}  // namespace zep
