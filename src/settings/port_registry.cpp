#include "settings/port_registry.h"

#include <cstdio>

#include "common/module_locks.h"
#include "platform/profile.h"
#include "settings/settings_reads.h"
#include "settings/settings_store.h"

namespace zep {

namespace {

constexpr int kMaxTableEntries = 10;

// Only what was set since the library loaded; never loaded from the file.
// Never destroyed, as every process-wide object of the module.
PortTable& PortMap() {
  static PortTable* table = new PortTable;
  return *table;
}

PortTable& SslPortMap() {
  static PortTable* table = new PortTable;
  return *table;
}

std::string IndexedKey(const char* table, const char* kind, int index) {
  char key[128];
  std::snprintf(key, sizeof key, "%s_%s_%d", table, kind, index);
  return key;
}

std::string UserPortKey(const std::string& name, bool secure) { return secure ? name + "_ssl" : name; }

void SetTableEntry(PortTable& table, const char* tableName, int32_t port, const std::string& name) {
  ExclusiveLockGuard guard(&SettingsLock());
  if (!guard.Owned()) return;
  table[name] = port;
  WritePortTable(table, tableName);
}

}  // namespace

PortTable ReadPortTable(const char* tableName) {
  SharedLockGuard guard(&SettingsLock());
  PortTable table;
  if (!guard.Owned()) return table;
  for (int i = 0; i < kMaxTableEntries; ++i) {
    const std::string name = GetConfiguration(IndexedKey(tableName, "mn", i).c_str(), "");
    if (name.empty()) break;
    table[name] = ParseIniInt(GetConfiguration(IndexedKey(tableName, "mp", i).c_str(), ""));
  }
  return table;
}

PortTable ReadPorts() { return ReadPortTable("Port"); }

PortTable ReadSslPorts() { return ReadPortTable("SSLPort"); }

void WritePortTable(const PortTable& table, const char* tableName) {
  ExclusiveLockGuard guard(&SettingsLock());
  if (!guard.Owned()) return;
  int index = 0;
  for (const auto& entry : table) {
    SetConfiguration(IndexedKey(tableName, "mn", index).c_str(), entry.first.c_str());
    SetConfigurationInt(IndexedKey(tableName, "mp", index).c_str(), entry.second);
    ++index;
  }
  SetConfigurationInt(tableName, index);
}

void SetModulePort(int32_t port, const std::string& name) { SetTableEntry(PortMap(), "Port", port, name); }

void SetModuleSslPort(int32_t port, const std::string& name) { SetTableEntry(SslPortMap(), "SSLPort", port, name); }

int32_t ReadUserPort(const std::string& section, const std::string& name, bool secure) {
  return ParseIniInt(
      ReadIniValue(section.c_str(), UserPortKey(name, secure).c_str(), "0", GetUserConfigurationFilePath()));
}

void ClearUserPort(const std::string& section, const std::string& name, bool secure) {
  char zero[8];
  std::snprintf(zero, sizeof zero, "%d", 0);
  // Without the settings lock: the file is open to every user, and anyone
  // may hold its own lock for a while, which the write waits out.
  platform::WriteProfileValue(section.c_str(), UserPortKey(name, secure).c_str(), zero,
                              GetUserConfigurationFilePath().c_str());
  SettingsWritten();
}

}  // namespace zep
