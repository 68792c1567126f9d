// The plain-text service log. Which levels reach the file is the "LogLevel"
// bit mask of the configuration, read again for every line.
#pragma once

#include <cstddef>
#include <string>

#if defined(__clang__)
#define ZEP_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#elif defined(__GNUC__)
#define ZEP_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define ZEP_PRINTF_FORMAT(f, a)
#endif

namespace zep {

enum LogLevelFlag { kLogNull = 1, kLogError = 2, kLogInfo = 4, kLogDebug = 8, kLogVerbose = 16 };
// Errors, information and debug (14): set when the module starts, it holds
// for the whole run, as the service's own tools expect.
constexpr int kLogLevelAll = kLogError | kLogInfo | kLogDebug;

void LogError(const char* format, ...) ZEP_PRINTF_FORMAT(1, 2);
void LogInfo(const char* format, ...) ZEP_PRINTF_FORMAT(1, 2);
void LogDebug(const char* format, ...) ZEP_PRINTF_FORMAT(1, 2);

// Text from outside (a page, a host, another process) for a "%s" of a log
// line: a control character in it is written as an escape (\n, \r, \t or
// \xHH), so no such text can end a line or start one of its own. A text
// without control characters is used as it stands, without a copy.
class LogText {
 public:
  explicit LogText(const std::string& text) : LogText(text.c_str(), text.size(), false) {}
  explicit LogText(const char* text);
  // A text laid out by the module (a styled reply, which carries page text
  // JSON-escaped): its line breaks and tabs stay, other control characters
  // (DEL, which JSON leaves as it is) are escaped.
  static LogText KeepingLayout(const std::string& text) { return LogText(text.c_str(), text.size(), true); }
  const char* c_str() const { return escaped_.empty() ? text_ : escaped_.c_str(); }

 private:
  LogText(const char* text, size_t length, bool keepLayout);
  const char* text_;
  std::string escaped_;
};

// The current mask: 14 once fixed, else "LogLevel" (default 1).
int GetLogLevel();
// Whether lines of the level are written now: for call sites whose arguments
// cost something to build, so that a line that is off costs nothing more.
inline bool LogEnabled(int level) { return (GetLogLevel() & level) != 0; }
// Fixes the mask at 14 for the life of the process.
void FixLogLevel();
// Name of the first level flag that shares a bit with the value.
const char* LogLevelName(int level);

// directory + name when it can be opened for appending, else a name with a
// random number in parentheses before its extension.
std::string ResolveLogFilePath(const std::string& directory, const std::string& name);

// The configuration file the level is read from and the file lines go to; set
// by the settings initialisation. A configuration path that does not fit the
// fixed 260-byte copy is refused: the level then stays 1 (nothing written).
void SetLogTargets(const std::string& configurationFile, const std::string& logFile);

}  // namespace zep
