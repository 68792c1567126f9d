// The POSIX state behind a ProcessHandle, for the files that act on a copy.
#pragma once

#include <sys/types.h>

#include "platform/user_process.h"

namespace zep::platform {

struct ProcessHandle::Native {
  pid_t pid = 0;
  int pidfd = -1;       // -1 where the kernel has none
  bool reaped = false;  // the pid is no longer ours
};

// Sends the signal to the process, only while the pid is still that process's
// (through its pidfd, or while it is this process's unreaped child).
void SignalProcess(const ProcessHandle::Native& process, int signal);

}  // namespace zep::platform
