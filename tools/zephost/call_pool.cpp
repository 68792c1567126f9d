#include "call_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zephost {

struct CallPool::Shared {
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable idle;
  std::deque<std::function<void()>> calls;
  int maxThreads;
  std::chrono::seconds idleLife;
  int threads = 0;
  int waiting = 0;  // threads waiting for a call
  int running = 0;
  bool closed = false;

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      ++waiting;
      const bool got = work.wait_for(lock, idleLife, [this] { return !calls.empty() || (closed && calls.empty()); });
      --waiting;
      if (!got || calls.empty()) break;
      std::function<void()> call = std::move(calls.front());
      calls.pop_front();
      ++running;
      lock.unlock();
      call();
      call = nullptr;
      lock.lock();
      --running;
      if (running == 0 && calls.empty()) idle.notify_all();
    }
    --threads;
  }
};

CallPool::CallPool(int maxThreads, std::chrono::seconds idleLife) : shared_(std::make_shared<Shared>()) {
  shared_->maxThreads = maxThreads > 0 ? maxThreads : 1;
  shared_->idleLife = idleLife;
}

CallPool::~CallPool() { Drain(std::chrono::milliseconds(0)); }

void CallPool::Post(std::function<void()> call) {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  if (shared_->closed) return;
  shared_->calls.push_back(std::move(call));
  if (shared_->waiting > static_cast<int>(shared_->calls.size()) - 1) {
    shared_->work.notify_one();
    return;
  }
  if (shared_->threads < shared_->maxThreads) {
    try {
      std::thread([shared = shared_] { shared->Serve(); }).detach();
      ++shared_->threads;
    } catch (...) {
      // No thread to be had: the call waits for one that is.
    }
  }
}

bool CallPool::Drain(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->closed = true;
  shared_->work.notify_all();
  return shared_->idle.wait_for(lock, bound, [this] { return shared_->running == 0 && shared_->calls.empty(); });
}

int CallPool::Threads() const {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  return shared_->threads;
}

int CallPool::Pending() const {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  return shared_->running + static_cast<int>(shared_->calls.size());
}

}  // namespace zephost
