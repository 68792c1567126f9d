#include "settings/settings_store.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "common/module_identity.h"
#include "common/module_locks.h"
#include "platform/access_rights.h"
#include "platform/critical_section.h"
#include "platform/file_system.h"
#include "platform/process_user.h"
#include "platform/profile.h"
#include "platform/system_error.h"
#include "platform/thread_identity.h"
#include "settings/files.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/settings_reads.h"

namespace zep {

namespace {

constexpr size_t kIniValueBuffer = 520;

// What the initialisation resolves, published once and complete: a thread
// that sees it sees all of it. Never changed afterwards.
struct PublishedSettings {
  SettingsPaths paths;
  bool enhancedMode = false;
};

// Never freed: a host may call in while the process exits, after this
// library's own destructors have run.
std::atomic<const PublishedSettings*> published{nullptr};
std::once_flag initialisation;

const PublishedSettings* Published() { return published.load(std::memory_order_acquire); }

// The service executable path is the one value that DoAction may replace.
struct ServicePath {
  platform::Mutex mutex;
  std::string path;
};

// Never destroyed, as what is published.
ServicePath& ServiceExecutable() {
  static ServicePath* servicePath = new ServicePath;
  return *servicePath;
}

std::string Separator() { return std::string(1, platform::kPathSeparator); }

void CreateWorkingDirectories(const SettingsPaths& paths) {
  platform::CreateDirectoryNarrow(paths.cacheDirectory);
  platform::CreateDirectoryNarrow(paths.logDirectory);
  platform::CreateDirectoryNarrow(paths.uploadDirectory);
}

// The module's folders and files, all under the module's own folder.
SettingsPaths PathsUnder(const std::string& directory) {
  const std::string sep = Separator();
  SettingsPaths paths;
  paths.moduleDirectory = directory;
  paths.logDirectory = directory + "log" + sep;
  paths.cacheDirectory = directory + "cache" + sep;
  paths.uploadDirectory = directory + "upload" + sep;
  paths.dumpDirectory = directory + "dump" + sep;
  paths.configurationFile = directory + kConfigurationFileName;
  paths.userConfigurationFile = directory + kUserConfigurationFileName;
  return paths;
}

// A per-user copy's own folders below the shared ones: its log folder and,
// with the enhanced mode, its cache and upload folders, each made private as
// it is made. One that something else already stands for (another user's
// folder, a link) is never used: the cache and upload folders move to the
// user's own vendor folder, and the log with them (false). Whether the log
// folder is the user's own and private.
bool PrepareCopyFolders(SettingsPaths& paths, bool enhancedMode) {
  using platform::PrivateFolder;
  const std::string sep = Separator();
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  std::string* const folders[] = {&paths.cacheDirectory, &paths.logDirectory, &paths.uploadDirectory};
  PrivateFolder log = PrivateFolder::kFailed;
  bool taken = sid.empty();
  for (std::string* folder : folders) {
    if (taken) break;
    if (!enhancedMode && folder != &paths.logDirectory) continue;
    *folder += sid + sep;
    const PrivateFolder made = platform::MakePrivateFolder(*folder);
    taken = made == PrivateFolder::kTaken;
    if (folder == &paths.logDirectory) log = made;
  }
  if (!taken) return log == PrivateFolder::kMade;
  if (enhancedMode) {
    // Empty when unknown or too long: then there are no such folders.
    char vendor[kMaxPath] = {0};
    GetVendorLocalLowFolder(vendor);
    const std::string fallback = vendor;
    if (!fallback.empty()) CreateParentDirectories(fallback);
    paths.cacheDirectory = fallback.empty() ? std::string() : fallback + "cache" + sep;
    paths.uploadDirectory = fallback.empty() ? std::string() : fallback + "upload" + sep;
    for (const std::string* folder : {&paths.cacheDirectory, &paths.uploadDirectory})
      if (!folder->empty()) platform::MakePrivateFolder(*folder);
  }
  return false;
}

// Creates the working folders and opens them to their users; settles the
// user log folder and the log files.
void PrepareFolders(SettingsPaths& paths, bool enhancedMode) {
  CreateWorkingDirectories(paths);
  // A per-user copy logs in a folder of its user's own, never in the
  // service's log; with the enhanced mode its cache and upload folders are
  // its user's own too. Such folders are open to that user, the system and
  // the administrators, not to everyone.
  const bool copy = WorkMode() == ZEP_WORK_MODE_COPY;

  // Created, open to every user, when missing; an existing file stays as it is.
  platform::ProbeSharedFile(paths.userConfigurationFile, platform::FileWriters::kEveryone);
  platform::ShareWithEveryone(paths.userConfigurationFile.c_str());

  const bool logOpened =
      copy ? PrepareCopyFolders(paths, enhancedMode) : platform::ShareWithEveryone(paths.logDirectory.c_str()) != 0;
  if (!(copy && enhancedMode)) {
    platform::ShareWithEveryone(paths.cacheDirectory.c_str());
    platform::ShareWithEveryone(paths.uploadDirectory.c_str());
  }
  if (!logOpened) {
    // The user's own folder instead; refused (empty) when it does not fit.
    char vendor[kMaxPath] = {0};
    GetVendorLocalLowFolder(vendor);
    paths.userLogDirectory = vendor;
    if (!paths.userLogDirectory.empty()) CreateParentDirectories(paths.userLogDirectory);
    // A copy's log folder that is not its own (another user made it first)
    // is not used at all.
    if (copy) paths.logDirectory = paths.userLogDirectory;
  } else {
    paths.userLogDirectory = paths.logDirectory;
  }

  platform::CreateDirectoryNarrow(paths.dumpDirectory);
  platform::ShareWithEveryone(paths.dumpDirectory.c_str());

  paths.serviceLogFile = ResolveLogFilePath(paths.logDirectory, "tks.log");
  // Files are created only in the module's folders and the user's LocalLow
  // folder: without a user log folder there is no user log file.
  if (!paths.userLogDirectory.empty()) paths.userLogFile = ResolveLogFilePath(paths.userLogDirectory, "tku.log");
}

void InitializeOnce() {
  const std::string modulePath = platform::ModuleFilePath();
  // The paths are kept in fixed buffers of kMaxPath bytes: refuse a module
  // path that leaves no room for them rather than cut it.
  if (modulePath.empty() || modulePath.size() >= kMaxPath) return;
  size_t last = modulePath.rfind(platform::kPathSeparator);
  if (last == std::string::npos) return;

  auto settings = std::make_unique<PublishedSettings>();
  settings->paths = PathsUnder(modulePath.substr(0, last + 1));
  SettingsPaths& paths = settings->paths;
  SetServiceExecutablePath(modulePath);
  settings->enhancedMode =
      ParseIniBool(ReadIniValue(kConfigurationSection, "EnableEnhancedMode", "FALSE", paths.configurationFile));
  PrepareFolders(paths, settings->enhancedMode);

  SetLogTargets(paths.configurationFile, paths.serviceLogFile);
  published.store(settings.release(), std::memory_order_release);

  if (GetLogLevel() == kLogLevelAll) FixLogLevel();

  LogDebug("Version info:%s, %s---%s, \r\n\t\tis64:1, isScanning=0, workMode=%d, isQROActiveX=0\r\n",
           kModuleDescription, "zep service manager", kModuleVersion, WorkMode());
}

// Once per file and process: a padded file would otherwise add a line to
// every read.
void ReportTooLarge(const std::string& file) {
  // Never destroyed: a read may come while the process exits.
  static auto* mutex = new platform::Mutex;
  static auto* reported = new std::set<std::string>;
  {
    std::lock_guard<platform::Mutex> guard(*mutex);
    if (reported->size() >= 16 || !reported->insert(file).second) return;
  }
  LogError("ReadIniValue:: %s is larger than %u bytes and is not read.", LogText(file).c_str(),
           static_cast<unsigned>(platform::kMaxProfileFileBytes));
}

}  // namespace

// Runs once per process; a start that overlaps the first one waits for it.
void InitializeSettings() { std::call_once(initialisation, InitializeOnce); }

SettingsPaths GetSettingsPaths() {
  const PublishedSettings* settings = Published();
  return settings != nullptr ? settings->paths : SettingsPaths();
}

std::string ReadIniValue(const char* section, const char* key, const char* defaultValue, const std::string& file) {
  // Without a file name the profile functions would pick a system file.
  if (file.empty()) return defaultValue != nullptr ? std::string(defaultValue) : std::string();
  // The default as the profile functions take it, cut to the value buffer
  // (copied only when it is that long).
  const char* fallback = defaultValue != nullptr ? defaultValue : "";
  char cut[kIniValueBuffer];
  if (strnlen(fallback, kIniValueBuffer) == kIniValueBuffer) {
    std::memcpy(cut, fallback, kIniValueBuffer - 1);
    cut[kIniValueBuffer - 1] = '\0';
    fallback = cut;
  }
  char value[kIniValueBuffer];
  value[0] = '\0';
  platform::ProfileRead outcome = platform::ProfileRead::kRead;
  const uint32_t copied = ReadProfileValueCached(section != nullptr ? section : kConfigurationSection, key, fallback,
                                                 value, kIniValueBuffer, file, &outcome, &SettingsLock());
  if (outcome == platform::ProfileRead::kTooLarge) ReportTooLarge(file);
  if (copied > 0) return std::string(value, copied);
  return defaultValue != nullptr ? std::string(defaultValue) : std::string();
}

std::string GetConfiguration(const char* key, const char* defaultValue) {
  // The published path itself, not a copy.
  const PublishedSettings* settings = Published();
  if (settings == nullptr) return ReadIniValue(kConfigurationSection, key, defaultValue, std::string());
  return ReadIniValue(kConfigurationSection, key, defaultValue, settings->paths.configurationFile);
}

void SetConfiguration(const char* key, const char* value) {
  const std::string file = GetConfigurationFilePath();
  ExclusiveLockGuard guard(&SettingsLock());
  const bool written =
      guard.Owned() && !file.empty() && platform::WriteProfileValue(kConfigurationSection, key, value, file.c_str());
  SettingsWritten();
  if (!written) {
    const unsigned code = platform::LastSystemError();
    LogDebug("Set configuration to init file failed. Key = %s, Value = %s. (%d)", LogText(key).c_str(),
             LogText(value).c_str(), static_cast<int>(code));
  }
}

void SetConfigurationInt(const char* key, int value) {
  char text[32];
  std::snprintf(text, sizeof text, "%d", value);
  SetConfiguration(key, text);
}

std::string GetConfigurationFilePath() {
  const PublishedSettings* settings = Published();
  return settings != nullptr ? settings->paths.configurationFile : std::string();
}

std::string GetUserConfigurationFilePath() {
  const PublishedSettings* settings = Published();
  return settings != nullptr ? settings->paths.userConfigurationFile : std::string();
}

std::string GetServiceExecutablePath() {
  ServicePath& service = ServiceExecutable();
  std::lock_guard<platform::Mutex> guard(service.mutex);
  return service.path;
}

void SetServiceExecutablePath(const std::string& path) {
  ServicePath& service = ServiceExecutable();
  std::lock_guard<platform::Mutex> guard(service.mutex);
  service.path = path;
}

bool EnhancedModeEnabled() {
  const PublishedSettings* settings = Published();
  return settings != nullptr && settings->enhancedMode;
}

}  // namespace zep
