// Opening files and folders in folders that other users may write to.
#pragma once

#include <windows.h>

#include <string>

namespace zep::platform {

enum class OwnedKind { File, Folder };

// Opens what stands at path itself, never a link or junction's target, while
// the folder that holds it, itself no link or junction, is kept from being
// renamed. What was opened is then checked through the handle: of the kind
// asked for, a file with one link only, and owned by this process's user (or
// its default owner, the administrators for a service). Anything else is
// closed and refused: INVALID_HANDLE_VALUE. READ_CONTROL is added to access.
// The disposition is OPEN_EXISTING, OPEN_ALWAYS or CREATE_NEW.
HANDLE OpenOwned(const std::string& path, DWORD access, DWORD share, DWORD disposition, OwnedKind kind);

}  // namespace zep::platform
