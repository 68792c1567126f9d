// Noticing, without waiting, that files of a folder may have changed.
#pragma once

#include <cstdint>
#include <string>

namespace zep::platform {

// A change notification on one folder (not its sub-folders), polled: inotify
// on Linux, FindFirstChangeNotification on Windows. No thread is started.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // True when a file of the folder may have changed since the last call;
  // always true when the folder cannot be watched. Never waits.
  bool Changed();

 private:
  intptr_t native_;
};

}  // namespace zep::platform
