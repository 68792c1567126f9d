// Starting, watching and stopping a copy of the service as another user.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zep::platform {

enum class WaitResult { Exited, TimedOut, Failed };

// A started copy: its process and first-thread handles, its process id, and what
// holds everything the copy starts (a job object on Windows, the copy's own
// process group elsewhere). Terminate ends the copy and all it started;
// closing ends what is left of them, so nothing outlives the handle.
class ProcessHandle {
 public:
  // What a back end keeps of a started copy: its handles and job, or its pid
  // and pidfd. Defined in each back end's file.
  struct Native;
  // Ends what is left of the copy and closes its handles.
  struct Deleter {
    void operator()(Native* native) const;
  };

  bool Valid() const { return native_ != nullptr; }
  const Native* Get() const { return native_.get(); }
  uint32_t ProcessId() const { return native_ != nullptr ? processId_ : 0; }
  // Exited once the copy itself has ended (whatever it started may remain
  // until Terminate or Close).
  WaitResult Wait(uint32_t milliseconds);
  void Terminate(uint32_t exitCode);
  void Close() { native_.reset(); }

  // For the back ends: takes the copy's state, made with new.
  void Assign(Native* native, uint32_t processId) {
    native_.reset(native);
    processId_ = processId;
  }

 private:
  std::unique_ptr<Native, Deleter> native_;
  uint32_t processId_ = 0;
};

// The primary token of a user.
class UserToken {
 public:
  // The token's handle, or the user's ids and account. Defined in each back end's file.
  struct Native;
  struct Deleter {
    void operator()(Native* native) const;
  };

  bool Valid() const { return native_ != nullptr; }
  const Native* Get() const { return native_.get(); }
  // What names the token in log lines: its handle's value, or the user's uid.
  unsigned LogValue() const;
  void Close() { native_.reset(); }
  // For the back ends: takes the token's state, made with new.
  void Assign(Native* native) { native_.reset(native); }

 private:
  std::unique_ptr<Native, Deleter> native_;
};

// A process opened for querying its token.
class QueryProcess {
 public:
  // The process's handle, or its pid. Defined in each back end's file.
  struct Native;
  struct Deleter {
    void operator()(Native* native) const;
  };

  explicit QueryProcess(uint32_t processId);
  bool Valid() const { return native_ != nullptr; }
  const Native* Get() const { return native_.get(); }
  // What names the process in log lines: its handle's value, or its pid (0 when not open).
  unsigned LogValue() const;

 private:
  std::unique_ptr<Native, Deleter> native_;
};

class EnvironmentBlock {
 public:
  // The user's environment: a block of the system, or the variables.
  struct Native;
  struct Deleter {
    void operator()(Native* native) const;
  };

  bool Create(const UserToken& token);
  const Native* Get() const { return native_.get(); }

 private:
  std::unique_ptr<Native, Deleter> native_;
};

// Session of a process; false (session 0) when it cannot be had.
bool ProcessSessionId(uint32_t processId, uint32_t* sessionId);

// The primary token of the session's logged-on user; the session id, or -1
// with no token.
int64_t GetSessionUserToken(uint32_t sessionId, UserToken& token);
bool SetTokenSessionId(UserToken& token, uint32_t sessionId);
// TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT.
// An elevated token gives way to its linked, limited one: a copy never runs
// with more than the user's everyday rights.
bool OpenPrimaryTokenOf(const QueryProcess& process, UserToken& token);

// String form of the SID of the token's user; empty when it cannot be had.
std::string TokenUserSid(const UserToken& token);

// Starts application with the command line as the token's user, hidden, on
// the interactive desktop, with a new console.
bool StartProcessAsUser(const UserToken& token, const std::string& application, const std::string& commandLine,
                        const EnvironmentBlock& environment, ProcessHandle& started);

}  // namespace zep::platform
