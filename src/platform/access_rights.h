// Access rights of the module's shared and per-user files and folders.
#pragma once

#include <string>

namespace zep::platform {

// Opens one of the module's shared folders (log, cache, upload, dump) or its
// shared file (user_config.ini) to every user; only this user's own file or
// folder is changed, never one reached through a link or a hard link.
// Non-zero on success.
//   Windows: a folder as the system's temporary folder is: everyone may list
//   and traverse it, read its attributes and create files and folders in it;
//   the creator of each (CREATOR OWNER) alone has full control of it, and
//   SYSTEM and the administrators of everything; nobody may delete, rename,
//   re-permission or take over another's. A file: everyone may read and
//   write its data, and nothing more (no deleting it, no changing its access
//   list or owner).
//   POSIX: 01777 (sticky: nobody removes another's) and 0666.
int ShareWithEveryone(const char* path);

enum class PrivateFolder {
  kMade,    // this user's own, open to this user (and the system) alone
  kTaken,   // something else stands there: never to be used
  kFailed,  // could not be made (no parent, no rights)
};

// Makes the current user's own folder: created with an access list for
// SYSTEM, the administrators and this user only, at creation (Windows), or
// 0700 (POSIX); one that is already there and this user's own plain folder
// gets that list. Windows answers kTaken for a folder someone else owns, a
// link or junction, or a file. POSIX answers kFailed for those: the folder's
// owner is checked at every open there, and only the user log moves to the
// user's own folder when its folder is not private.
PrivateFolder MakePrivateFolder(const std::string& path);

}  // namespace zep::platform
