#include <windows.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/folder_watch.h"

namespace zep::platform {

namespace {

constexpr DWORD kChanges = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE |
                           FILE_NOTIFY_CHANGE_ATTRIBUTES;

// A zero-timeout wait on the change notification is a system call, and under
// Wine a round trip to wineserver that costs many times a whole command.
// Instead each thread keeps an overlapped ReadDirectoryChangesW on its own
// handle of the folder: the system completes it when something changes, and
// the thread learns whether it has with HasOverlappedIoCompleted, a read of
// memory. The completion is posted to the thread that asked, so a change the
// thread made itself shows on its next check. Where the request cannot be
// made, the shared notification is waited on as before.
//
// The system writes into a request until it has ended, so requests live on the
// heap, owned by the watch: never in thread-local storage, which goes when the
// thread does. A thread that has ended leaves its request behind; the next
// thread to make one ends and frees it, and the watch ends the rest.
struct Request {
  HANDLE directory;
  HANDLE thread;  // the thread that asked
  OVERLAPPED overlapped{};
  DWORD changes[256] = {};  // what changed is not read: only that something did
  bool armed = false;
};

void EndRequest(Request* request) {
  if (request->armed) {
    CancelIoEx(request->directory, &request->overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(request->directory, &request->overlapped, &ignored, TRUE);
  }
  CloseHandle(request->directory);
  CloseHandle(request->thread);
  delete request;
}

struct Watch {
  HANDLE notification;  // FindFirstChangeNotification's, shared by all threads
  std::string folder;
  uint64_t serial;  // tells this watch's requests from an earlier watch's
  std::mutex mutex;
  std::vector<Request*> requests;
};

std::atomic<uint64_t> nextSerial{1};

// The calling thread's request on the watch with this serial; null when none
// could be made. Trivially destructible, so nothing runs at thread exit, and
// the pointer is used only while its watch lives (the serials match).
struct ThreadRequest {
  uint64_t serial;
  Request* request;
};
thread_local ThreadRequest threadRequest{0, nullptr};

Request* NewRequest(Watch& watch) {
  HANDLE directory =
      CreateFileA(watch.folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE thread = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0)) {
    CloseHandle(directory);
    return nullptr;
  }
  Request* request = new (std::nothrow) Request{directory, thread};
  if (request == nullptr) {
    CloseHandle(directory);
    CloseHandle(thread);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(watch.mutex);
  for (size_t i = 0; i < watch.requests.size();) {
    if (WaitForSingleObject(watch.requests[i]->thread, 0) == WAIT_OBJECT_0) {
      EndRequest(watch.requests[i]);
      watch.requests[i] = watch.requests.back();
      watch.requests.pop_back();
    } else {
      ++i;
    }
  }
  try {
    watch.requests.push_back(request);
  } catch (...) {
    EndRequest(request);
    return nullptr;
  }
  return request;
}

// Resets the shared notification; true when it was set, or cannot be read.
bool SharedChanged(HANDLE notification) {
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

}  // namespace

FolderWatch::FolderWatch(const std::string& folder) : native_(0) {
  HANDLE notification = FindFirstChangeNotificationA(folder.c_str(), FALSE, kChanges);
  if (notification == INVALID_HANDLE_VALUE) return;
  Watch* watch = new (std::nothrow) Watch{notification, folder, nextSerial.fetch_add(1), {}, {}};
  if (watch == nullptr) {
    FindCloseChangeNotification(notification);
    return;
  }
  native_ = reinterpret_cast<intptr_t>(watch);
}

FolderWatch::~FolderWatch() {
  Watch* watch = reinterpret_cast<Watch*>(native_);
  if (watch == nullptr) return;
  for (Request* request : watch->requests) EndRequest(request);
  FindCloseChangeNotification(watch->notification);
  delete watch;
}

bool FolderWatch::Changed() {
  Watch* watch = reinterpret_cast<Watch*>(native_);
  if (watch == nullptr) return true;
  ThreadRequest& mine = threadRequest;
  bool fired = false;
  if (mine.serial == watch->serial) {
    if (mine.request != nullptr && mine.request->armed) {
      if (!HasOverlappedIoCompleted(&mine.request->overlapped)) return false;
      mine.request->armed = false;
      fired = true;
    }
  } else {
    mine = ThreadRequest{watch->serial, NewRequest(*watch)};
  }
  // Asked (again) before the shared notification is read, so that a change
  // between the two is not missed. What this thread's request saw may have
  // been reported by another thread already; it counts as a change here too.
  if (Request* request = mine.request) {
    request->overlapped = OVERLAPPED{};
    request->armed = ReadDirectoryChangesW(request->directory, request->changes, sizeof request->changes, FALSE,
                                           kChanges, nullptr, &request->overlapped, nullptr) != FALSE;
  }
  return SharedChanged(watch->notification) || fired;
}

}  // namespace zep::platform
