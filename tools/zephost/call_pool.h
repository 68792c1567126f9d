// The threads module calls run on. A module call may block for long (a port
// check's connect, a process start), so a call never waits for a free thread
// while the pool is below its bound: the pool grows when every thread is
// busy, and a thread that has idled a while ends.
//
// The pool is shared fairly. Each call belongs to a client: a user, and a
// page origin of that user's. One user, whatever its origins, runs at most a
// quarter of the pool's threads at once; a client's further calls wait in
// its own queue, and the queues are served in turn, so that a client that
// floods the pool delays only itself.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zephost {

class CallPool {
 public:
  CallPool(int maxThreads, std::chrono::seconds idleLife);
  ~CallPool();
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;

  // Runs the call for the client (user, and origin within it) on a free
  // thread, on a new one while below the bound, or once the client's turn
  // comes.
  void Post(const std::string& user, const std::string& origin, std::function<void()> call);
  // Takes no more calls and waits, at most the time given, until none runs
  // or waits; true when none does. Threads still in a call are left to it.
  bool Drain(std::chrono::milliseconds bound);
  // Threads alive, and calls running or waiting.
  int Threads() const;
  int Pending() const;

  struct Shared;

 private:
  // Shared with the threads, which may outlive the pool when a call hangs.
  std::shared_ptr<Shared> shared_;
};

}  // namespace zephost
