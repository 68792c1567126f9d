#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "platform/folder_watch.h"

namespace zep::platform {

FolderWatch::FolderWatch(const std::string& folder) : native_(-1) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  // The kernel queues these during the writer's own call: the next poll sees them.
  const uint32_t events = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                          IN_DELETE_SELF | IN_MOVE_SELF;
  if (inotify_add_watch(fd, folder.c_str(), events) < 0) {
    close(fd);
    return;
  }
  native_ = fd;
}

FolderWatch::~FolderWatch() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

bool FolderWatch::Changed() {
  if (native_ < 0) return true;
  alignas(inotify_event) char events[4096];
  bool changed = false;
  for (;;) {
    const ssize_t got = read(static_cast<int>(native_), events, sizeof events);
    if (got > 0) {
      changed = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // EAGAIN: nothing (more) queued. An overflowed or failed queue counts as a change.
    return changed || (got < 0 && errno != EAGAIN);
  }
}

}  // namespace zep::platform
