// Per-user copies on POSIX: fork and exec as the client's user (dropping
// privileges when running as root) with that user's environment.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/posix/c_library_lock_posix.h"
#include "platform/posix/descriptor_posix.h"
#include "platform/posix/process_handle_posix.h"
#include "platform/user_process.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace zep::platform {

// The user's ids and account, as a copy started for them needs them.
struct UserToken::Native {
  uid_t uid;
  gid_t gid;
  std::string name;
  std::string home;
  std::string shell;
};

struct QueryProcess::Native {
  pid_t pid;
};

namespace {

// Splits a command line of quoted (or blank-separated) arguments.
std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size()) break;
    std::string argument;
    bool quoted = false;
    for (; i < line.size() && (quoted || line[i] != ' '); ++i) {
      if (line[i] == '"')
        quoted = !quoted;
      else
        argument += line[i];
    }
    arguments.push_back(argument);
  }
  return arguments;
}

void SleepMilliseconds(long milliseconds) {
  timespec pause{0, milliseconds * 1000000L};
  nanosleep(&pause, nullptr);
}

}  // namespace

// A copy is held by a pidfd where the kernel has them: waits and signals then
// reach that very process even if something else reaped it and its pid was
// reused. The copy leads a session and process group of its own (its pid);
// the module reaps it only when ending the handle, so until then its pid, and
// with it the group's, cannot be reused, and the whole group can be ended.
namespace {

int OpenPidFd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// The descriptor moved to the lowest free number above 3 (close-on-exec);
// -1, with the descriptor closed, when it cannot be.
int MoveAboveThree(int fd) {
  if (fd < 0 || fd > 3) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 4);
  close(fd);
  return moved;
}

enum class ChildState {
  kRunning,
  kEnded,  // a zombie, still ours to reap: its pid and group id are not reused
  kGone,   // reaped by someone else
  kUnknown,
};

// Looks without reaping.
ChildState Probe(pid_t pid, int pidfd) {
  siginfo_t info{};
  const int flags = WEXITED | WNOHANG | WNOWAIT;
  const int result = pidfd >= 0 ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, flags)
                                : waitid(P_PID, static_cast<id_t>(pid), &info, flags);
  if (result == 0) return info.si_pid != 0 ? ChildState::kEnded : ChildState::kRunning;
  return errno == ECHILD ? ChildState::kGone : ChildState::kUnknown;
}

void Reap(pid_t pid, int pidfd) {
  siginfo_t info{};
  int result;
  do {
    result = pidfd >= 0 ? waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED)
                        : waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED);
  } while (result != 0 && errno == EINTR);
}

// Ends the copy's process group, the copy with it, while its id is still
// the copy's.
void EndGroup(const ProcessHandle::Native& copy) {
  const ChildState state = Probe(copy.pid, copy.pidfd);
  if (state != ChildState::kRunning && state != ChildState::kEnded) return;
  kill(-copy.pid, SIGKILL);
  SignalProcess(copy, SIGKILL);
}

}  // namespace

void SignalProcess(const ProcessHandle::Native& process, int signal) {
  if (process.reaped) return;
  if (process.pidfd >= 0)
    syscall(SYS_pidfd_send_signal, process.pidfd, signal, nullptr, 0);
  else if (Probe(process.pid, -1) == ChildState::kRunning)
    kill(process.pid, signal);
}

WaitResult ProcessHandle::Wait(uint32_t milliseconds) {
  if (!Valid()) return WaitResult::Failed;
  if (native_->reaped) return WaitResult::Exited;
  const pid_t pid = native_->pid;
  const int pidfd = native_->pidfd;
  for (uint32_t waited = 0;; ++waited) {
    switch (Probe(pid, pidfd)) {
      case ChildState::kEnded:
      case ChildState::kGone:
        return WaitResult::Exited;
      case ChildState::kUnknown:
        return WaitResult::Failed;
      case ChildState::kRunning:
        break;
    }
    if (waited >= milliseconds) return WaitResult::TimedOut;
    if (pidfd >= 0) {
      pollfd ready{pidfd, POLLIN, 0};
      poll(&ready, 1, 1);
    } else {
      SleepMilliseconds(1);
    }
  }
}

namespace {

void EndAndReap(ProcessHandle::Native& copy) {
  if (copy.reaped) return;
  EndGroup(copy);
  Reap(copy.pid, copy.pidfd);
  copy.reaped = true;
}

}  // namespace

void ProcessHandle::Terminate(uint32_t /*exitCode*/) {
  if (Valid()) EndAndReap(*native_);
}

void ProcessHandle::Deleter::operator()(Native* native) const {
  EndAndReap(*native);
  if (native->pidfd >= 0) close(native->pidfd);
  delete native;
}

void UserToken::Deleter::operator()(Native* native) const { delete native; }

unsigned UserToken::LogValue() const { return native_ == nullptr ? 0 : static_cast<unsigned>(native_->uid); }

QueryProcess::QueryProcess(uint32_t processId) {
  struct stat info {};
  if (processId == 0 || stat(("/proc/" + std::to_string(processId)).c_str(), &info) != 0) {
    errno = processId == 0 ? EINVAL : ESRCH;
    return;
  }
  native_.reset(new (std::nothrow) Native{static_cast<pid_t>(processId)});
  if (native_ == nullptr) errno = ENOMEM;
}

void QueryProcess::Deleter::operator()(Native* native) const { delete native; }

unsigned QueryProcess::LogValue() const { return native_ == nullptr ? 0 : static_cast<unsigned>(native_->pid); }

struct EnvironmentBlock::Native {
  std::vector<std::string> variables;
};

void EnvironmentBlock::Deleter::operator()(Native* native) const { delete native; }

bool EnvironmentBlock::Create(const UserToken& token) {
  const UserToken::Native* account = token.Get();
  if (account == nullptr) {
    errno = EINVAL;
    return false;
  }
  auto* environment = new (std::nothrow) Native;
  if (environment == nullptr) {
    errno = ENOMEM;
    return false;
  }
  environment->variables = {"HOME=" + account->home, "USER=" + account->name, "LOGNAME=" + account->name,
                            "SHELL=" + account->shell, "PATH=/usr/local/bin:/usr/bin:/bin"};
  native_.reset(environment);
  return true;
}

bool ProcessSessionId(uint32_t processId, uint32_t* sessionId) {
  std::ifstream file("/proc/" + std::to_string(processId) + "/sessionid");
  long long value = 0;
  if (processId == 0 || !(file >> value)) {
    errno = ESRCH;
    return false;
  }
  errno = 0;
  // The kernel reports an unset audit session as (unsigned) -1.
  *sessionId = (value < 0 || value == 4294967295LL) ? 0 : static_cast<uint32_t>(value);
  return true;
}

// There is no service that hands out a session user's token here; callers
// fall back to the client process's own user.
int64_t GetSessionUserToken(uint32_t /*sessionId*/, UserToken& token) {
  token.Close();
  errno = ENOSYS;
  return -1;
}

bool SetTokenSessionId(UserToken& /*token*/, uint32_t /*sessionId*/) {
  errno = ENOSYS;
  return false;
}

bool OpenPrimaryTokenOf(const QueryProcess& process, UserToken& token) {
  if (!process.Valid()) return false;
  struct stat info {};
  if (stat(("/proc/" + std::to_string(process.Get()->pid)).c_str(), &info) != 0) return false;
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  auto* account =
      new (std::nothrow) UserToken::Native{info.st_uid, info.st_gid, std::to_string(info.st_uid), "/", "/bin/sh"};
  if (account == nullptr) {
    errno = ENOMEM;
    return false;
  }
  std::unique_lock<Mutex> guard(CLibraryLock());
  if (getpwuid_r(info.st_uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    account->gid = found->pw_gid;
    account->name = found->pw_name;
    account->home = found->pw_dir;
    if (found->pw_shell != nullptr && *found->pw_shell != '\0') account->shell = found->pw_shell;
  }
  token.Assign(account);
  errno = 0;
  return true;
}

std::string TokenUserSid(const UserToken& token) {
  const UserToken::Native* account = token.Get();
  return account == nullptr ? std::string() : "S-1-22-1-" + std::to_string(account->uid);
}

bool StartProcessAsUser(const UserToken& token, const std::string& application, const std::string& commandLine,
                        const EnvironmentBlock& environment, ProcessHandle& started) {
  const UserToken::Native* account = token.Get();
  const std::vector<std::string>* variables = environment.Get() != nullptr ? &environment.Get()->variables : nullptr;
  if (account == nullptr || variables == nullptr) {
    errno = EINVAL;
    return false;
  }
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed.
  // A plain owner until the copy runs: there is nothing to end before.
  std::unique_ptr<ProcessHandle::Native> native(new (std::nothrow) ProcessHandle::Native);
  if (native == nullptr) {
    errno = ENOMEM;
    return false;
  }
  std::vector<std::string> arguments = SplitCommandLine(commandLine);
  std::vector<char*> argv, envp;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentCopy = *variables;
  for (auto& variable : environmentCopy) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const bool switchUser = geteuid() == 0 && account->uid != 0;
  std::vector<gid_t> groups(64);
  int groupCount = static_cast<int>(groups.size());
  {
    std::lock_guard<Mutex> guard(CLibraryLock());
    if (switchUser && getgrouplist(account->name.c_str(), account->gid, groups.data(), &groupCount) < 0) {
      groups.resize(static_cast<size_t>(groupCount));
      getgrouplist(account->name.c_str(), account->gid, groups.data(), &groupCount);
    }
  }

  // The copy inherits nothing of the host: its standard streams read and
  // write /dev/null, and every other descriptor is closed before exec. Both
  // are kept above 3, where the child's moves cannot overwrite them: a host
  // may have closed its standard streams or left 3 free.
  Descriptor devNull(MoveAboveThree(open("/dev/null", O_RDWR | O_CLOEXEC)));
  if (devNull.Get() < 0) return false;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const Descriptor reportRead(report[0]);
  Descriptor reportWrite(MoveAboveThree(report[1]));
  if (reportWrite.Get() < 0) return false;
  rlimit files{};
  const unsigned highest = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                               ? static_cast<unsigned>(files.rlim_cur)
                               : 65536u;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setsid();
    // The report pipe moves to 3 (close-on-exec, so exec closes it too).
    if (dup3(reportWrite.Get(), 3, O_CLOEXEC) != 3 || dup2(devNull.Get(), 0) != 0 || dup2(devNull.Get(), 1) != 1 ||
        dup2(devNull.Get(), 2) != 2)
      _exit(127);
    if (syscall(SYS_close_range, 4u, ~0u, 0u) != 0)
      for (unsigned fd = 4; fd < highest; ++fd) close(static_cast<int>(fd));
    int failure = 0;
    if (switchUser && (setgroups(static_cast<size_t>(groupCount), groups.data()) != 0 || setgid(account->gid) != 0 ||
                       setuid(account->uid) != 0))
      failure = errno;
    if (failure == 0) {
      execve(application.c_str(), argv.data(), envp.data());
      failure = errno;
    }
    ssize_t ignored = write(3, &failure, sizeof failure);
    (void)ignored;
    _exit(127);
  }
  devNull.Close();
  reportWrite.Close();  // the child's copy alone keeps the pipe open until exec
  int childError = 0;
  ssize_t got;
  do {
    got = read(reportRead.Get(), &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    errno = childError;
    return false;
  }
  native->pid = pid;
  native->pidfd = OpenPidFd(pid);  // -1 where the kernel has none: the pid is used then
  if (native->pidfd >= 0) fcntl(native->pidfd, F_SETFD, FD_CLOEXEC);
  started.Assign(native.release(), static_cast<uint32_t>(pid));
  errno = 0;
  return true;
}

}  // namespace zep::platform
