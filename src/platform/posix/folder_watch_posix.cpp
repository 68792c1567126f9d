#include <liburing.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/folder_watch.h"

namespace zep::platform {

namespace {

struct Watch {
  int inotify;
  uint64_t serial;  // tells watches apart when an inotify descriptor number is reused
};

std::atomic<uint64_t> nextSerial{1};

// Reading an empty inotify queue is a system call for every poll. Instead each
// thread keeps a small io_uring with a poll request on the queue: when an event
// arrives, the kernel posts a completion into memory this thread reads, so an
// unchanged folder costs a load and no system call. The completion is posted
// on the writer's own return from the kernel when the writer is this thread,
// and otherwise through task work the kernel signals to this thread at once.
// Without io_uring (an old kernel, or a filter that refuses it) the queue is
// read every time.
class ThreadRing {
 public:
  ~ThreadRing() { Close(); }

  enum class State { kQuiet, kFired, kUnarmed };

  // kQuiet when the armed request has not completed: nothing has changed.
  State Check(const Watch& watch) {
    if (!armed_ || armedFor_ != watch.serial) return State::kUnarmed;
    if (io_uring_cq_ready(&ring_) == 0) return State::kQuiet;
    io_uring_cq_advance(&ring_, io_uring_cq_ready(&ring_));
    armed_ = false;
    return State::kFired;
  }

  // Asks for a completion on the watch's next event; on failure the thread
  // falls back to reading the queue.
  void Arm(const Watch& watch) {
    if (unavailable_) return;
    // A request for an earlier watch holds that watch's queue open: drop it.
    if (open_ && armedFor_ != watch.serial) Close();
    if (!open_) {
      if (io_uring_queue_init(2, &ring_, 0) != 0) {
        unavailable_ = true;
        return;
      }
      open_ = true;
    }
    io_uring_sqe* request = io_uring_get_sqe(&ring_);
    if (request == nullptr) return;
    io_uring_prep_poll_add(request, watch.inotify, POLLIN);
    armedFor_ = watch.serial;
    armed_ = io_uring_submit(&ring_) == 1;
  }

 private:
  void Close() {
    if (open_) io_uring_queue_exit(&ring_);
    open_ = false;
    armed_ = false;
  }

  io_uring ring_{};
  bool open_ = false;
  bool armed_ = false;
  bool unavailable_ = false;
  uint64_t armedFor_ = 0;
};

thread_local ThreadRing threadRing;

// Empties the queue; true when it held anything, or failed.
bool Drain(int inotify) {
  alignas(inotify_event) char events[4096];
  bool changed = false;
  for (;;) {
    const ssize_t got = read(inotify, events, sizeof events);
    if (got > 0) {
      changed = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // EAGAIN: nothing (more) queued. An overflowed or failed queue counts as a change.
    return changed || (got < 0 && errno != EAGAIN);
  }
}

}  // namespace

FolderWatch::FolderWatch(const std::string& folder) : native_(0) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return;
  // The kernel queues these during the writer's own call: the next poll sees them.
  const uint32_t events = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                          IN_DELETE_SELF | IN_MOVE_SELF;
  if (inotify_add_watch(fd, folder.c_str(), events) < 0) {
    close(fd);
    return;
  }
  native_ = reinterpret_cast<intptr_t>(new (std::nothrow) Watch{fd, nextSerial.fetch_add(1)});
  if (native_ == 0) close(fd);
}

FolderWatch::~FolderWatch() {
  Watch* watch = reinterpret_cast<Watch*>(native_);
  if (watch == nullptr) return;
  close(watch->inotify);
  delete watch;
}

bool FolderWatch::Changed() {
  const Watch* watch = reinterpret_cast<const Watch*>(native_);
  if (watch == nullptr) return true;
  ThreadRing& ring = threadRing;
  const ThreadRing::State state = ring.Check(*watch);
  if (state == ThreadRing::State::kQuiet) return false;
  // Armed (again) before the queue is read, so that an event between the two
  // is not missed. What fired may already have been drained by another
  // thread, which reported it then; it counts as a change here all the same.
  ring.Arm(*watch);
  return Drain(watch->inotify) || state == ThreadRing::State::kFired;
}

}  // namespace zep::platform
