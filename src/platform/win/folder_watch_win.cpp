#include <windows.h>

#include "platform/folder_watch.h"

namespace zep::platform {

FolderWatch::FolderWatch(const std::string& folder) : native_(0) {
  HANDLE notification = FindFirstChangeNotificationA(folder.c_str(), FALSE,
                                                     FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                                         FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_ATTRIBUTES);
  if (notification != INVALID_HANDLE_VALUE) native_ = reinterpret_cast<intptr_t>(notification);
}

FolderWatch::~FolderWatch() {
  if (native_ != 0) FindCloseChangeNotification(reinterpret_cast<HANDLE>(native_));
}

bool FolderWatch::Changed() {
  if (native_ == 0) return true;
  HANDLE notification = reinterpret_cast<HANDLE>(native_);
  switch (WaitForSingleObject(notification, 0)) {
    case WAIT_TIMEOUT:
      return false;
    case WAIT_OBJECT_0:
      FindNextChangeNotification(notification);
      return true;
    default:
      return true;
  }
}

}  // namespace zep::platform
