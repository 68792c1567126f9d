#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
#else
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host_support/loopback_socket.h"
#endif

#include "platform/file_system.h"
#include "settings/settings_reads.h"
#include "settings/settings_store.h"

namespace zep::test {

namespace {
size_t logOffset = 0;
}

std::string Separator() { return std::string(1, platform::kPathSeparator); }

std::string ModuleDirectory() {
  const std::string path = platform::ModuleFilePath();
  return path.substr(0, path.rfind(platform::kPathSeparator) + 1);
}

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void EditsShow() { std::this_thread::sleep_for(std::chrono::microseconds(kStampCheckNanoseconds / 500)); }

void WriteFileText(const std::string& path, const std::string& text) {
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
  }
  EditsShow();
}

void RemoveFile(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  EditsShow();
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

void SetConfigurationText(const std::string& configuration) {
  WriteFileText(ModuleDirectory() + kConfigurationFileName, configuration);
}

void InitializeModuleWith(const std::string& configuration) {
  SetConfigurationText(configuration);
  const std::string directory = ModuleDirectory();
  if (FileExists(directory + kUserConfigurationFileName)) WriteFileText(directory + kUserConfigurationFileName, "");
  RemoveFile(directory + "log" + Separator() + "tks.log");
  InitializeSettings();
  logOffset = ReadFileText(GetSettingsPaths().serviceLogFile).size();
}

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  const auto step = std::max(bound / 1000, std::chrono::milliseconds(1));
  for (auto waited = std::chrono::milliseconds(0); waited < bound; waited += step) {
    if (condition()) return true;
    std::this_thread::sleep_for(step);
  }
  return condition();
}

std::string TakeLog() {
  const std::string text = ReadFileText(GetSettingsPaths().serviceLogFile);
  if (text.size() < logOffset) logOffset = 0;
  std::string fresh = text.substr(logOffset);
  logOffset = text.size();
  return fresh;
}

#ifndef _WIN32
bool InChildProcess(const std::function<bool()>& check) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) _exit(check() ? 0 : 1);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

PageOfAccount::PageOfAccount(uint16_t port, unsigned uid, const char* program) {
  int hold[2];
  if (pipe(hold) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(hold[1]);
    if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(2);
    host::TcpSocket connection = host::ConnectLoopback(port);
    if (!connection.Send("x", 1)) _exit(3);
    char order = 0;
    while (read(hold[0], &order, 1) > 0 && program != nullptr) {
      dup2(static_cast<int>(connection.Value()), 10);  // without close-on-exec
      execl(program, program, "60", static_cast<char*>(nullptr));
    }
    _exit(0);
  }
  close(hold[0]);
  hold_ = hold[1];
}

bool PageOfAccount::RunProgram() { return write(hold_, "r", 1) == 1; }

PageOfAccount::~PageOfAccount() {
  if (hold_ >= 0) close(hold_);
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

bool AsUnprivilegedUser(const std::function<bool()>& check) {
  if (geteuid() != 0) return check();
  return InChildProcess([&] { return setgid(kUnprivilegedUid) == 0 && setuid(kUnprivilegedUid) == 0 && check(); });
}
#endif

#ifdef _WIN32
// The path's access list, in the system's string form.
std::string AccessList(const std::string& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* text = nullptr;
  std::string list;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                            &descriptor) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                           &text, nullptr))
    list = text;
  LocalFree(text);
  LocalFree(descriptor);
  return list;
}
#endif

std::string MessageOf(const std::string& line) {
  const size_t at = line.find("]: ");
  return at == std::string::npos ? std::string() : line.substr(at + 3);
}

}  // namespace zep::test
