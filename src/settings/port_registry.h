// The port tables of the configuration file and the per-user ports of the
// user configuration file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zep {

// Service name to port, in byte order of the names.
using PortTable = std::map<std::string, int32_t>;

PortTable ReadPortTable(const char* tableName);
PortTable ReadPorts();
PortTable ReadSslPorts();
void WritePortTable(const PortTable& table, const char* tableName);
void SetModulePort(int32_t port, const std::string& name);
void SetModuleSslPort(int32_t port, const std::string& name);

int32_t ReadUserPort(const std::string& section, const std::string& name, bool secure);
void ClearUserPort(const std::string& section, const std::string& name, bool secure);

}  // namespace zep
