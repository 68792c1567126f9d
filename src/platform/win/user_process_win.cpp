// Windows headers in the order they need; each block stands alone.
#include <windows.h>

#include <userenv.h>

#include <wtsapi32.h>

#include <sddl.h>

#include <memory>
#include <new>
#include <vector>

#include "platform/user_process.h"
#include "platform/win/token_win.h"
#include "platform/win/win_resources.h"

namespace zep::platform {

struct ProcessHandle::Native {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  HANDLE job = nullptr;  // null where the host's own job allows no other
};

WaitResult ProcessHandle::Wait(uint32_t milliseconds) {
  if (!Valid()) return WaitResult::Failed;
  switch (WaitForSingleObject(native_->process, milliseconds)) {
    case WAIT_OBJECT_0:
      return WaitResult::Exited;
    case WAIT_TIMEOUT:
      return WaitResult::TimedOut;
    default:
      return WaitResult::Failed;
  }
}

// The job ends the copy with every process it started, down to the console
// host that a new console brings; the copy alone where it has no job.
void ProcessHandle::Terminate(uint32_t exitCode) {
  if (!Valid()) return;
  if (native_->job == nullptr || !TerminateJobObject(native_->job, exitCode))
    TerminateProcess(native_->process, exitCode);
}

// The job kills what is left in it when its last handle closes.
void ProcessHandle::Deleter::operator()(Native* native) const {
  for (HANDLE handle : {native->job, native->process, native->thread})
    if (handle != nullptr) CloseHandle(handle);
  delete native;
}

struct UserToken::Native {
  HANDLE token;
};

void UserToken::Deleter::operator()(Native* native) const {
  CloseHandle(native->token);
  delete native;
}

unsigned UserToken::LogValue() const { return native_ == nullptr ? 0 : win::HandleValue(native_->token); }

namespace {

// The handle, or null (which the system refuses) when there is none.
HANDLE TokenOf(const UserToken& token) { return token.Valid() ? token.Get()->token : nullptr; }

// Takes the token handle; false (and the handle closed) without memory for it.
bool AssignToken(UserToken& token, HANDLE handle) {
  UserToken::Native* native = win::AdoptHandle<UserToken::Native>(handle);
  if (native == nullptr) return false;
  token.Assign(native);
  return true;
}

}  // namespace

struct QueryProcess::Native {
  HANDLE process;
};

QueryProcess::QueryProcess(uint32_t processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
  if (process == nullptr) return;
  native_.reset(win::AdoptHandle<Native>(process));
}

unsigned QueryProcess::LogValue() const { return native_ == nullptr ? 0 : win::HandleValue(native_->process); }

void QueryProcess::Deleter::operator()(Native* native) const {
  CloseHandle(native->process);
  delete native;
}

struct EnvironmentBlock::Native {
  void* block;
};

void EnvironmentBlock::Deleter::operator()(Native* native) const {
  if (native->block != nullptr) DestroyEnvironmentBlock(native->block);
  delete native;
}

bool EnvironmentBlock::Create(const UserToken& token) {
  std::unique_ptr<Native, Deleter> environment(new (std::nothrow) Native{nullptr});
  if (environment == nullptr) return false;
  if (!CreateEnvironmentBlock(&environment->block, TokenOf(token), FALSE)) return false;
  native_ = std::move(environment);
  return true;
}

bool ProcessSessionId(uint32_t processId, uint32_t* sessionId) {
  DWORD session = 0;
  const BOOL ok = ProcessIdToSessionId(processId, &session);
  if (ok) *sessionId = session;
  return ok != 0;
}

int64_t GetSessionUserToken(uint32_t sessionId, UserToken& token) {
  HANDLE queried = nullptr;
  if (!WTSQueryUserToken(sessionId, &queried)) return -1;
  HANDLE primary = nullptr;
  const BOOL duplicated =
      DuplicateTokenEx(queried, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary);
  CloseHandle(queried);
  if (!duplicated) return -1;
  return AssignToken(token, primary) ? sessionId : -1;
}

bool SetTokenSessionId(UserToken& token, uint32_t sessionId) {
  DWORD session = sessionId;
  return SetTokenInformation(TokenOf(token), TokenSessionId, &session, sizeof session) != 0;
}

bool OpenPrimaryTokenOf(const QueryProcess& process, UserToken& token) {
  constexpr DWORD kAccess = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT;
  win::HandleCloser opened;
  if (!process.Valid() || !OpenProcessToken(process.Get()->process, kAccess, &opened.handle)) {
    opened.handle = nullptr;
    return false;
  }
  TOKEN_ELEVATION_TYPE elevation = TokenElevationTypeDefault;
  DWORD length = 0;
  if (!GetTokenInformation(opened.handle, TokenElevationType, &elevation, sizeof elevation, &length)) return false;
  if (elevation != TokenElevationTypeFull) return AssignToken(token, opened.Release());
  // An elevated client gets its copy with the limited token of its logon,
  // or none: the copy must not carry the administrator's full rights.
  TOKEN_LINKED_TOKEN linked{};
  if (!GetTokenInformation(opened.handle, TokenLinkedToken, &linked, sizeof linked, &length)) return false;
  const win::HandleCloser limited{linked.LinkedToken};
  HANDLE primary = nullptr;
  if (!DuplicateTokenEx(limited.handle, kAccess, nullptr, SecurityImpersonation, TokenPrimary, &primary)) return false;
  return AssignToken(token, primary);
}

std::string TokenUserSid(const UserToken& token) { return win::TokenUserText(TokenOf(token)); }

bool StartProcessAsUser(const UserToken& token, const std::string& application, const std::string& commandLine,
                        const EnvironmentBlock& environment, ProcessHandle& started) {
  std::unique_ptr<ProcessHandle::Native, ProcessHandle::Deleter> native(new (std::nothrow) ProcessHandle::Native);
  if (native == nullptr) return false;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  char desktop[] = "Winsta0\\Default";
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION info{};
  // CreateProcessAsUserA may write into the command line.
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  // Started suspended and put in a job of its own before it runs a single
  // instruction, so that whatever it starts (its console host first of all)
  // is in the job too and ends with it.
  const BOOL ok =
      CreateProcessAsUserA(TokenOf(token), application.c_str(), line.data(), nullptr, nullptr, FALSE,
                           CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED,
                           environment.Get() != nullptr ? environment.Get()->block : nullptr, nullptr, &startup, &info);
  if (!ok) return false;
  native->process = info.hProcess;
  native->thread = info.hThread;
  win::HandleCloser job(CreateJobObjectA(nullptr, nullptr));
  if (job.handle != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    // A host that runs in a job of its own may not be allowed another one:
    // the copy then runs without, and a forced stop ends the copy alone.
    if (SetInformationJobObject(job.handle, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job.handle, info.hProcess))
      native->job = job.Release();
  }
  ProcessHandle copy;
  copy.Assign(native.release(), info.dwProcessId);
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    copy.Terminate(1);
    return false;
  }
  started = std::move(copy);
  return true;
}

}  // namespace zep::platform
