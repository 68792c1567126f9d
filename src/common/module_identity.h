// Who the module is (its names and default ports; its version is generated) and the work
// mode that DoAction sets, which every layer may read.
#pragma once

#include "common/module_version.h"
#include "zep_exports.h"

namespace zep {

constexpr const char* kModuleAlias = "zep";
constexpr const char* kModuleDescription = "Corvantis Service Manager Module";
constexpr const char* kServiceDescription = "Corvantis Service";
constexpr unsigned kDefaultPort = 18625;
constexpr unsigned kDefaultSslPort = 18626;

// ZEP_WORK_MODE_SERVICE until DoAction starts a per-user copy.
int WorkMode();
void SetWorkMode(int mode);

}  // namespace zep
