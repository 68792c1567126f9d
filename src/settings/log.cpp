#include "settings/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common/module_identity.h"
#include "common/module_locks.h"
#include "platform/clock.h"
#include "platform/critical_section.h"
#include "platform/file_system.h"
#include "platform/profile.h"
#include "platform/system_error.h"
#include "platform/thread_identity.h"
#include "settings/ini_values.h"
#include "settings/paths.h"
#include "settings/settings_reads.h"

namespace zep {

namespace {

// Where the log reads its level from and writes to. Published whole and
// never changed once published, so the lines read it without a lock.
struct LogTargets {
  // Fixed copy of the configuration path that the level reader uses.
  char configurationFile[kMaxPath] = {0};
  // Its watch, shared with the kept settings reads; null when none could be had.
  FileWatch* watch = nullptr;
  std::string logFile;
};

// The mask as last read, beside the low half of the configuration file's
// version it was read at (0: none), in one word: a line whose file version
// matches takes the mask with a few atomic loads and no call into the system.
constexpr uint64_t MaskAt(uint64_t version, int mask) {
  return (version & 0xFFFFFFFFu) << 32 | static_cast<uint32_t>(mask);
}

struct LogState {
  std::atomic<bool> fixedLevel{false};
  std::atomic<uint64_t> level{MaskAt(0, kLogNull)};
  std::atomic<const LogTargets*> targets{nullptr};
  platform::Mutex publishMutex;
  // Every published set stays alive: a line may still be reading an older one.
  std::vector<std::unique_ptr<LogTargets>> published;
};

// Never destroyed: a host may log (through any call) while the process exits.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

const LogTargets* Targets() { return State().targets.load(std::memory_order_acquire); }

// The mask from the file; the given one when the file could not be read.
int ReadMask(const LogTargets* targets, int known, bool* failed) {
  char value[64] = {0};
  platform::ProfileRead outcome = platform::ProfileRead::kRead;
  const uint32_t copied = platform::ReadProfileValue(kConfigurationSection, "LogLevel", "1", value, sizeof value,
                                                     targets->configurationFile, &outcome);
  *failed = outcome == platform::ProfileRead::kFailed;
  if (*failed) return known;
  return copied == 0 ? kLogNull : ParseIniInt(value);
}

bool Enabled(int level) { return (GetLogLevel() & level) != 0; }

// The most the log file holds: one that has reached it starts over, with this
// line first.
constexpr uint64_t kLogFileBytes = 64ull << 20;
constexpr const char* kStartedOver = "The log reached 67108864 bytes and starts over here.\n";

std::string Prefix(const platform::LocalTime& now, int level) {
  char prefix[512];
  std::snprintf(prefix, sizeof prefix, "[Process:%6d Thread:%6d] [%02d/%02d/%04d %02d:%02d:%02d.%03d] [%s-%d]: ",
                static_cast<int>(platform::CurrentProcessId()), static_cast<int>(platform::CurrentThreadId()),
                now.month, now.day, now.year, now.hour, now.minute, now.second, now.millisecond, LogLevelName(level),
                WorkMode());
  return prefix;
}

// Writes a formatted message whose level the caller found enabled.
bool AppendLine(int level, const std::string& text, unsigned lastError) {
  try {
    const platform::LocalTime now = platform::CurrentLocalTime();
    std::string line = Prefix(now, level);
    line += text;
    if ((level & kLogError) != 0) {
      char suffix[64];
      std::snprintf(suffix, sizeof suffix, " GetLastError = %d.", static_cast<int>(lastError));
      line += suffix;
    }
    line += '\n';
    const LogTargets* targets = Targets();
    if (targets == nullptr || targets->logFile.empty()) return false;
    ExclusiveLockGuard guard(&SettingsLock());
    if (!guard.Owned()) return false;
    // Pages choose what much of a line holds: the file is bounded, so that no
    // page fills the disk by sending commands.
    return platform::AppendToSharedFile(targets->logFile, line, platform::FileWriters::kCreator, kLogFileBytes,
                                        [&now] { return Prefix(now, kLogInfo) + kStartedOver; });
  } catch (...) {
    return false;
  }
}

void Log(int level, const char* format, va_list arguments) {
  // The code belongs to the caller's last failure: take it before the level
  // reads touch it, and give it back afterwards.
  const uint32_t lastError = platform::LastSystemError();
  try {
    // One look at the mask per line: a change of the file shows from the next line on.
    if (Enabled(level)) {
      va_list measure;
      va_copy(measure, arguments);
      int length = std::vsnprintf(nullptr, 0, format, measure);
      va_end(measure);
      std::vector<char> buffer(length >= 0 ? static_cast<size_t>(length) + 513 : 512);
      std::vsnprintf(buffer.data(), buffer.size(), format, arguments);
      AppendLine(level, std::string(buffer.data()), lastError);
    }
  } catch (...) {
  }
  platform::SetLastSystemError(lastError);
}

}  // namespace

void LogError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Log(kLogError, format, arguments);
  va_end(arguments);
}

void LogInfo(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Log(kLogInfo, format, arguments);
  va_end(arguments);
}

void LogDebug(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Log(kLogDebug, format, arguments);
  va_end(arguments);
}

int GetLogLevel() {
  LogState& state = State();
  if (state.fixedLevel.load(std::memory_order_relaxed)) return kLogLevelAll;
  const LogTargets* targets = Targets();
  if (targets == nullptr || targets->configurationFile[0] == '\0') return kLogNull;
  const uint64_t version = targets->watch != nullptr ? FileVersion(*targets->watch) : 0;
  const uint64_t known = state.level.load(std::memory_order_acquire);
  const int knownMask = static_cast<int>(static_cast<uint32_t>(known));
  if (version != 0 && known >> 32 == (version & 0xFFFFFFFFu)) return knownMask;
  // Read without SettingsLock: a line may be logged while any lock is held.
  // A read that failed keeps the mask known, for the rest of the window.
  bool failed = false;
  const int mask = ReadMask(targets, knownMask, &failed);
  if (failed && targets->watch != nullptr) FileReadFailed(*targets->watch);
  if (version != 0) state.level.store(MaskAt(version, mask), std::memory_order_release);
  return mask;
}

void FixLogLevel() { State().fixedLevel.store(true); }

LogText::LogText(const char* text)
    : LogText(text != nullptr ? text : "", text != nullptr ? std::strlen(text) : 0, false) {}

LogText::LogText(const char* text, size_t length, bool keepLayout) : text_(text) {
  const auto plain = [keepLayout](unsigned char c) {
    return (c >= 0x20 && c != 0x7F) || (keepLayout && (c == '\n' || c == '\t'));
  };
  size_t clean = 0;
  while (clean < length && plain(static_cast<unsigned char>(text[clean]))) ++clean;
  if (clean == length) return;
  escaped_.assign(text, clean);
  for (size_t i = clean; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (plain(c)) {
      escaped_ += static_cast<char>(c);
    } else if (c == '\n') {
      escaped_ += "\\n";
    } else if (c == '\r') {
      escaped_ += "\\r";
    } else if (c == '\t') {
      escaped_ += "\\t";
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "\\x%02X", c);
      escaped_ += code;
    }
  }
}

const char* LogLevelName(int level) {
  static const struct {
    int flag;
    const char* name;
  } kLevels[] = {
      {kLogNull, "NULL"}, {kLogError, "Error"}, {kLogInfo, "Info"}, {kLogDebug, "Debug"}, {kLogVerbose, "Verbose"}};
  for (const auto& row : kLevels)
    if ((row.flag & level) != 0) return row.name;
  return "";
}

std::string ResolveLogFilePath(const std::string& directory, const std::string& name) {
  // A bare name would land in the process's working directory.
  if (directory.empty()) return std::string();
  const std::string path = directory + name;
  if (platform::ProbeSharedFile(path, platform::FileWriters::kCreator)) return path;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos) return path;
  char number[32];
  // The C library's generator value, kept to 0..32767 as on every C run-time.
  std::snprintf(number, sizeof number, "(%d)", std::rand() % 32768);
  return directory + name.substr(0, dot) + number + name.substr(dot);
}

void SetLogTargets(const std::string& configurationFile, const std::string& logFile) {
  auto targets = std::make_unique<LogTargets>();
  // Refuse rather than cut a path that does not fit the fixed copy: a cut
  // path would name another file.
  if (!CopyToPathBuffer(targets->configurationFile, configurationFile)) targets->configurationFile[0] = '\0';
  if (targets->configurationFile[0] != '\0')
    targets->watch = WatchFile(targets->configurationFile, std::strlen(targets->configurationFile));
  targets->logFile = logFile;
  LogState& state = State();
  std::lock_guard<platform::Mutex> guard(state.publishMutex);
  state.published.push_back(std::move(targets));
  state.targets.store(state.published.back().get(), std::memory_order_release);
}

}  // namespace zep
