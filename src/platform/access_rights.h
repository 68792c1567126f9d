// Access rights of files and directories.
#pragma once

namespace zep::platform {

// Replaces the access list of the path with one entry that gives Everyone full
// control, inherited by what is created inside. Non-zero on success.
int GrantEveryoneFullAccess(const char* path);

}  // namespace zep::platform
