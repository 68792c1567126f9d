#include "settings/settings_store.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/decimal_text.h"
#include "common/module_locks.h"
#include "module/module_state.h"
#include "platform/access_rights.h"
#include "platform/file_system.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "platform/system_error.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/process_user.h"

namespace zep {

namespace {

constexpr size_t kIniValueBuffer = 520;

struct Settings {
  SettingsPaths paths;
  bool enhancedMode = false;
  std::mutex servicePathMutex;
  std::string serviceExecutablePath;
};

Settings& State() {
  static Settings settings;
  return settings;
}

std::string Separator() { return std::string(1, platform::kPathSeparator); }

void CreateWorkingDirectories(const SettingsPaths& paths) {
  platform::CreateDirectoryNarrow(paths.cacheDirectory);
  platform::CreateDirectoryNarrow(paths.logDirectory);
  platform::CreateDirectoryNarrow(paths.uploadDirectory);
}

}  // namespace

int ParseIniInt(const std::string& text) { return ParseDecimalPrefix(text); }

bool ParseIniBool(const std::string& text) {
  if (text.size() != 4) return false;
  const char* expected = "true";
  for (size_t i = 0; i < 4; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

void InitializeSettings() {
  Settings& settings = State();
  SettingsPaths& paths = settings.paths;
  if (!paths.moduleDirectory.empty()) return;

  const std::string modulePath = platform::ModuleFilePath();
  // The paths are kept in fixed buffers of kMaxPath bytes: refuse a module
  // path that leaves no room for them rather than cut it.
  if (modulePath.empty() || modulePath.size() >= kMaxPath) return;
  size_t last = modulePath.rfind(platform::kPathSeparator);
  if (last == std::string::npos) return;
  const std::string directory = modulePath.substr(0, last + 1);
  const std::string sep = Separator();

  paths.logDirectory = directory + "log" + sep;
  paths.cacheDirectory = directory + "cache" + sep;
  paths.uploadDirectory = directory + "upload" + sep;
  paths.dumpDirectory = directory + "dump" + sep;
  paths.configurationFile = directory + kConfigurationFileName;
  paths.userConfigurationFile = directory + kUserConfigurationFileName;
  {
    std::lock_guard<std::mutex> guard(settings.servicePathMutex);
    settings.serviceExecutablePath = modulePath;
  }
  paths.moduleDirectory = directory;
  SetLogConfigurationFile(paths.configurationFile);

  CreateWorkingDirectories(paths);

  settings.enhancedMode = ParseIniBool(GetConfiguration("EnableEnhancedMode", "FALSE"));
  if (settings.enhancedMode && WorkMode() == 3) {
    const std::string user = GetProcessUserSID(platform::CurrentProcessId()) + sep;
    paths.logDirectory += user;
    paths.cacheDirectory += user;
    paths.uploadDirectory += user;
    CreateWorkingDirectories(paths);
  }

  if (std::FILE* file = std::fopen(paths.userConfigurationFile.c_str(), "a+")) std::fclose(file);

  platform::GrantEveryoneFullAccess(paths.userConfigurationFile.c_str());
  platform::GrantEveryoneFullAccess(paths.cacheDirectory.c_str());
  platform::GrantEveryoneFullAccess(paths.uploadDirectory.c_str());
  const int logGranted = platform::GrantEveryoneFullAccess(paths.logDirectory.c_str());
  if (logGranted == 0) {
    char vendor[kMaxPath] = {0};
    GetVendorLocalLowFolder(vendor);
    paths.userLogDirectory = vendor;
    platform::CreateDirectoryNarrow(paths.userLogDirectory);
  } else {
    paths.userLogDirectory = paths.logDirectory;
  }

  platform::CreateDirectoryNarrow(paths.dumpDirectory);
  platform::GrantEveryoneFullAccess(paths.dumpDirectory.c_str());

  paths.serviceLogFile = ResolveLogFilePath(paths.logDirectory, "tks.log");
  paths.userLogFile = ResolveLogFilePath(paths.userLogDirectory, "tku.log");
  SetLogFile(paths.serviceLogFile);

  if (GetLogLevel() == 14) FixLogLevel();

  LogDebug("Version info:%s, %s---%s, \r\n\t\tis64:%d, isScanning=%d, workMode=%d, isQROActiveX=%d\r\n",
           kModuleDescription, "zep service manager", kModuleVersion, 1, 0, WorkMode(), WorkMode() == 4 ? 1 : 0);
}

SettingsPaths GetSettingsPaths() { return State().paths; }

std::string ReadIniValue(const char* section, const char* key, const char* defaultValue, const std::string& file) {
  char fallback[kIniValueBuffer] = {0};
  if (defaultValue != nullptr) {
    std::strncpy(fallback, defaultValue, kIniValueBuffer - 1);
  }
  char value[kIniValueBuffer] = {0};
  uint32_t copied = 0;
  {
    SharedLockGuard guard(&SettingsLock());
    copied = platform::ReadProfileValue(section != nullptr ? section : kConfigurationSection, key, fallback, value,
                                        kIniValueBuffer, file.c_str());
  }
  if (copied > 0) return std::string(value, copied);
  return defaultValue != nullptr ? std::string(defaultValue) : std::string();
}

std::string GetConfiguration(const char* key, const char* defaultValue) {
  return ReadIniValue(kConfigurationSection, key, defaultValue, State().paths.configurationFile);
}

void SetConfiguration(const char* key, const char* value) {
  ExclusiveLockGuard guard(&SettingsLock());
  if (!platform::WriteProfileValue(kConfigurationSection, key, value, State().paths.configurationFile.c_str())) {
    const unsigned code = platform::LastSystemError();
    LogDebug("Set configuration to init file failed. Key = %s, Value = %s. (%d)", key, value != nullptr ? value : "",
             static_cast<int>(code));
  }
}

void SetConfigurationInt(const char* key, int value) {
  char text[32];
  std::snprintf(text, sizeof text, "%d", value);
  SetConfiguration(key, text);
}

std::string GetConfigurationFilePath() { return State().paths.configurationFile; }

std::string GetUserConfigurationFilePath() { return State().paths.userConfigurationFile; }

std::string GetServiceExecutablePath() {
  std::lock_guard<std::mutex> guard(State().servicePathMutex);
  return State().serviceExecutablePath;
}

void SetServiceExecutablePath(const std::string& path) {
  std::lock_guard<std::mutex> guard(State().servicePathMutex);
  State().serviceExecutablePath = path;
}

bool EnhancedModeEnabled() { return State().enhancedMode; }

}  // namespace zep
