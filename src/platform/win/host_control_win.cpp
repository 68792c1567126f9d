// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <shellapi.h>

#include "platform/host_control.h"

namespace zep::platform {

void EndCurrentProcessNow() {
  PostQuitMessage(0);
  TerminateProcess(GetCurrentProcess(), 0);
  ExitProcess(0);
}

void RunElevated(const std::string& file, const std::string& directory) {
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  info.lpVerb = "runas";
  info.lpFile = file.c_str();
  info.lpParameters = nullptr;
  info.lpDirectory = directory.c_str();
  info.nShow = SW_HIDE;
  ShellExecuteExA(&info);
}

std::string SystemFolder() {
  char folder[MAX_PATH] = {0};
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(folder, length) : std::string("C:\\Windows\\System32");
}

}  // namespace zep::platform
