// One per-user copy of the service.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/named_event.h"
#include "platform/user_process.h"

namespace zep {

struct UserInstance {
  // Handles and ids of the running copy; owned by the record.
  platform::ProcessHandle process;
  uint32_t sessionId = 0;
  uint32_t clientProcessId = 0;
  // When the client process started: with its id, it names the very process
  // that was identified (0: unknown).
  uint64_t clientStartTime = 0;
  // The stop event the module made for the copy, and its name.
  platform::CopyStopEvent stopEvent;
  std::string stopEventName;
  // A command is starting this user's copy right now.
  bool starting = false;
};

// What a command learned of a user's record when it decided whether to start
// a copy: the copy that runs, or the ended one to clear and whom to start for.
struct InstanceClaim {
  uint32_t runningCopy = 0;
  platform::ProcessHandle ended;
  uint32_t sessionId = 0;
  uint32_t clientProcessId = 0;
  uint64_t clientStartTime = 0;
};

// Module name to (plain port, SSL port).
using PortMap = std::map<std::string, std::pair<int32_t, int32_t>>;

}  // namespace zep
