// Helpers shared by the test programs.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace zep::test {

// The folder of the test program (its module directory), with a trailing separator.
std::string ModuleDirectory();
std::string Separator();
std::string ReadFileText(const std::string& path);
// Written or removed as another process would, and waited for until the
// module's reads show it (they ask about a file at most once a millisecond).
void WriteFileText(const std::string& path, const std::string& text);
void RemoveFile(const std::string& path);
// Waits that long after an edit made some other way.
void EditsShow();
bool FileExists(const std::string& path);

// Brings the module's settings up once with the given configuration file
// text, which replaces any earlier one.
void InitializeModuleWith(const std::string& configuration);
// Rewrites the configuration file (the log level is read for every line).
void SetConfigurationText(const std::string& configuration);

// Polls the condition until it holds, for at most the bound; whether it held.
bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = std::chrono::seconds(10));

#ifndef _WIN32
// The unprivileged account that checks of permissions run as when the tests
// run as root (root passes every permission check).
constexpr unsigned kUnprivilegedUid = 65534;
// Runs the check in a child process as that account when this process is
// root, else in this process; the check's result.
bool AsUnprivilegedUser(const std::function<bool()>& check);
// Runs the check in a forked child, whose changes (a user, closed
// descriptors) leave this process alone; the check's result.
bool InChildProcess(const std::function<bool()>& check);

// A page of another account (for a test that runs as root): a child process
// that takes on every id of that account, connects to the loopback port,
// sends one byte and holds its end until this ends. Given a program, the
// child runs it once told to, with the connection inherited (as descriptor 10).
class PageOfAccount {
 public:
  PageOfAccount(uint16_t port, unsigned uid, const char* program = nullptr);
  ~PageOfAccount();
  PageOfAccount(const PageOfAccount&) = delete;
  PageOfAccount& operator=(const PageOfAccount&) = delete;
  int Pid() const { return pid_; }
  bool RunProgram();

 private:
  int pid_ = -1;
  int hold_ = -1;
};
#endif

#ifdef _WIN32
// The path's access list, in the system's string form.
std::string AccessList(const std::string& path);
#endif

// Log lines written since the last call, with the prefixes left as they are.
std::string TakeLog();
// The log line's message: the text after "]: ".
std::string MessageOf(const std::string& line);

}  // namespace zep::test
