// Opening files and folders in folders that other users may write to.
#pragma once

#include <windows.h>

#include <string>

namespace zep::platform {

enum class OwnedKind { File, Folder };

// Opens what stands at path itself, never a link or junction's target. Below
// the module's folder every folder on the way is opened from the one before
// it, starting at the module's folder, and none may be a link or junction;
// elsewhere the folder that holds the object is opened by its path and
// checked so. Those folders are held, so that none is renamed while the
// object in it is opened. What was opened is then checked through the
// handle: of the kind asked for, a file with one link only, and owned by this
// process's user (or its default owner, the administrators for a service).
// Anything else is closed and refused: INVALID_HANDLE_VALUE. READ_CONTROL is
// added to access. The disposition is OPEN_EXISTING, OPEN_ALWAYS or
// CREATE_NEW; an object that is created gets the descriptor, when given
// (otherwise what it inherits). An open that finds an opportunistic lock
// being broken is refused too: it would wait for the lock's holder.
HANDLE OpenOwned(const std::string& path, DWORD access, DWORD share, DWORD disposition, OwnedKind kind,
                 PSECURITY_DESCRIPTOR descriptor = nullptr);

}  // namespace zep::platform
