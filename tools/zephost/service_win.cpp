// zephost under the Windows service control manager.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <type_traits>

#include "host_support/host_platform.h"
#include "host_support/system_text_win.h"
#include "service.h"
#include "zephost_messages.h"

namespace zephost {

namespace {

constexpr const wchar_t* kName = L"zephost";
constexpr const wchar_t* kDisplayName = L"zep service host";
constexpr const wchar_t* kDescription =
    L"Serves the zep module to browser pages on 127.0.0.1 and starts its per-user copies.";
constexpr const wchar_t* kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\zephost";
// Long enough for the module's calls to end (5 s) and the module to stop.
constexpr DWORD kPreshutdownMilliseconds = 15000;
constexpr DWORD kStartWaitHint = 10000;
constexpr DWORD kStopWaitHint = 8000;

struct ServiceHandleCloser {
  void operator()(SC_HANDLE handle) const { CloseServiceHandle(handle); }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

using zep::host::Wide;

// What failed, with the system's words for the error.
bool Failed(const std::string& what, std::string& error, DWORD code = GetLastError()) {
  error = what + ": " + zep::host::SystemMessage(code);
  return false;
}

// The event log source, open while the service manager runs zephost.
std::atomic<HANDLE> eventSource{nullptr};

// Event Viewer shows a message through zephost.exe's message table, whose
// one message is the text as it is.
bool RegisterEventSource(const std::wstring& executable) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool stored =
      RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(executable.c_str()),
                     static_cast<DWORD>((executable.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
      RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types) ==
          ERROR_SUCCESS;
  RegCloseKey(key);
  return stored;
}

// The settings beyond CreateService's: what the service is, a restart after
// a failure (also one reported through the exit code), and time to stop
// before the machine shuts down.
bool Describe(SC_HANDLE service, std::string& error) {
  SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description))
    return Failed("cannot describe the service", error);
  SC_ACTION restarts[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 24 * 60 * 60;  // failures count again after a day
  failure.cActions = 3;
  failure.lpsaActions = restarts;
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return Failed("cannot set the service's recovery", error);
  // Windows has this level since Vista; Wine answers it with ERROR_INVALID_LEVEL,
  // and restarts the service only when its process ends without a stop.
  SERVICE_FAILURE_ACTIONS_FLAG onExitCode{TRUE};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitCode) &&
      GetLastError() != ERROR_INVALID_LEVEL)
    return Failed("cannot have the service restarted after a failed exit", error);
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownMilliseconds};
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown))
    return Failed("cannot set the service's shutdown time", error);
  return true;
}

// The service's status as the service manager last heard it.
struct ServiceRun {
  std::function<int(Lifecycle&)> host;
  SERVICE_STATUS_HANDLE handle = nullptr;
  std::mutex mutex;  // status, stop and stopAsked; never held across the host's work
  SERVICE_STATUS status{};
  std::function<void()> stop;
  bool stopAsked = false;
  int exitCode = 0;

  // Under mutex.
  void Report(DWORD state, DWORD waitHint) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status.dwCheckPoint = pending ? status.dwCheckPoint + 1 : 0;
    status.dwWaitHint = pending ? waitHint : 0;
    SetServiceStatus(handle, &status);
  }
};
ServiceRun* run = nullptr;  // set for the one run of the dispatcher

class ServiceLifecycle : public Lifecycle {
 public:
  void Starting() override {
    std::lock_guard<std::mutex> hold(run->mutex);
    run->Report(SERVICE_START_PENDING, kStartWaitHint);
  }
  void Running(std::function<void()> stop) override {
    std::unique_lock<std::mutex> hold(run->mutex);
    run->stop = std::move(stop);
    if (run->stopAsked) {
      hold.unlock();
      run->stop();
      return;
    }
    run->Report(SERVICE_RUNNING, 0);
  }
  void Ended() override {
    std::lock_guard<std::mutex> hold(run->mutex);
    run->stop = nullptr;
  }
  void Stopping(uint32_t waitHintMs) override {
    std::lock_guard<std::mutex> hold(run->mutex);
    run->Report(SERVICE_STOP_PENDING, waitHintMs);
  }
};

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN: {
      std::lock_guard<std::mutex> hold(run->mutex);
      if (run->stopAsked) return NO_ERROR;
      run->stopAsked = true;
      run->Report(SERVICE_STOP_PENDING, kStopWaitHint);
      // Under the mutex, so that the host cannot end its server meanwhile
      // (Ended takes it); the stop only posts to the server's thread, and the
      // control thread waits for nothing.
      if (run->stop) run->stop();
      return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  run->handle = RegisterServiceCtrlHandlerExW(kName, &Control, nullptr);
  if (run->handle == nullptr) return;
  ServiceLifecycle lifecycle;
  const int exitCode = run->host(lifecycle);
  SERVICE_STATUS stopped{};
  SERVICE_STATUS_HANDLE handle = nullptr;
  {
    std::lock_guard<std::mutex> hold(run->mutex);
    run->exitCode = exitCode;
    // Controls from now on report nothing: STOPPED is the last word.
    run->stopAsked = true;
    if (exitCode != 0) {
      // A failure the service manager answers with its recovery actions.
      run->status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
      run->status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    }
    run->status.dwCurrentState = SERVICE_STOPPED;
    run->status.dwControlsAccepted = 0;
    run->status.dwCheckPoint = 0;
    run->status.dwWaitHint = 0;
    stopped = run->status;
    handle = run->handle;
  }
  // Outside the mutex: once the service manager hears STOPPED, the dispatcher
  // may return and end the run, mutex and all.
  SetServiceStatus(handle, &stopped);
}

}  // namespace

void Say(Severity severity, const std::string& text) {
  if (HANDLE source = eventSource.load()) {
    const std::wstring wide = Wide(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(source, severity == Severity::kError ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
                 ZEPHOST_TEXT, nullptr, 1, 0, strings, nullptr);
    return;
  }
  std::FILE* to = severity == Severity::kError ? stderr : stdout;
  std::fprintf(to, "zephost: %s\n", text.c_str());
  std::fflush(to);
}

bool InstallService(const std::string& arguments, std::string& error) {
  const std::wstring executable = Wide(zep::host::ExecutablePath());
  std::wstring command = L"\"" + executable + L"\" --service";
  if (!arguments.empty()) command += L" " + Wide(arguments);
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return Failed("cannot open the service manager", error);
  // A null account is LocalSystem: only its token can start the per-user
  // copies in the users' sessions.
  ServiceHandle service(CreateServiceW(manager.get(), kName, kDisplayName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_EXISTS) return Failed("cannot create the service", error);
    // Installed before (an upgrade): the registration takes this program and these options.
    service.reset(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
    if (!service) return Failed("cannot open the service", error);
    if (!ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, L"LocalSystem", L"", kDisplayName))
      return Failed("cannot change the service", error);
  }
  if (!Describe(service.get(), error)) return false;
  if (!RegisterEventSource(executable)) return Failed("cannot register the event log source", error);
  return true;
}

bool UninstallService(std::string& error) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Failed("cannot open the service manager", error);
  ServiceHandle service(OpenServiceW(manager.get(), kName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (!service) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      error = "the service zephost is not installed";
      return false;
    }
    return Failed("cannot open the service", error);
  }
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status) || GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    // Its stop takes at most the module's 5 s for calls and its own stop.
    for (int waited = 0;
         waited < 300 && QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED;
         ++waited)
      Sleep(100);
    if (status.dwCurrentState != SERVICE_STOPPED) return Failed("the service did not stop", error, ERROR_TIMEOUT);
  }
  if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    return Failed("cannot remove the service", error);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
  return true;
}

bool RunAsService(const std::function<int(Lifecycle&)>& host, int& exitCode, std::string& error) {
  ServiceRun state;
  state.host = host;
  run = &state;
  eventSource = RegisterEventSourceW(nullptr, kName);
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kName), &ServiceMain}, {nullptr, nullptr}};
  const bool dispatched = StartServiceCtrlDispatcherW(table);
  const DWORD code = GetLastError();
  if (HANDLE source = eventSource.exchange(nullptr)) DeregisterEventSource(source);
  run = nullptr;
  if (!dispatched) {
    if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      error =
          "--service is for the service manager; start the service with \"net start zephost\", or run zephost "
          "without it";
      return false;
    }
    return Failed("cannot reach the service manager", error, code);
  }
  exitCode = state.exitCode;
  return true;
}

}  // namespace zephost
