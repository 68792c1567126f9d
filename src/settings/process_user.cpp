#include "settings/process_user.h"

#include "platform/process_user.h"

namespace zep {

std::string GetProcessUserSID(uint32_t processId) { return platform::ProcessUserSid(processId); }

}  // namespace zep
