// Opening files and folders in folders that other users may write to.
#pragma once

#include <sys/types.h>

#include <string>

namespace zep::platform {

// What an opened object must be.
enum class OwnedKind { File, Folder };

// Opens path without following a link, neither at its last component nor at
// the folder that holds it, and without blocking on a FIFO. What was opened
// is then checked through the descriptor: of the kind asked for, a file with
// one link only, and owned by this process's user or by the owner of the
// folder it stands in (that folder owned by this process's user or root).
// Anything else is closed and refused: -1 with errno set. flags may hold
// O_CREAT | O_EXCL to create the file.
int OpenOwned(const std::string& path, int flags, mode_t mode, OwnedKind kind);

}  // namespace zep::platform
