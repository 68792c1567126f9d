// Access rights of files and directories.
#pragma once

namespace zep::platform {

// Replaces the access list of the path with one entry that gives Everyone full
// control, inherited by what is created inside. Non-zero on success. Only the
// service user's own file or folder is changed, never one reached through a
// link or a hard link.
int GrantEveryoneFullAccess(const char* path);

// The same for a user's own folder: full control for the system, the
// administrators and the current user only.
int GrantUserFullAccess(const char* path);

}  // namespace zep::platform
