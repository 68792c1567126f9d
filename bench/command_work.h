// What the command benchmarks measure: one TKVersion command through
// DistributeCommand, and the bare JsonCpp work of the same command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// TKConfiguration.ini beside the module.
std::string SettingsFile();
// One command, its reply dropped.
int32_t Command();
// Writes TKConfiguration.ini with the log level and waits until the module
// trusts what it reads from it.
void Configure(int logLevel);
// One parse and one StyledWriter rendering of the reply: the anchor.
size_t BareWork();

}  // namespace bench
