#include "call_pool.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <thread>

namespace zephost {

namespace {

// The calls of one client that wait, and how many of its calls run.
struct ClientQueue {
  std::string user;
  std::deque<std::function<void()>> calls;
  int running = 0;
};

}  // namespace

struct CallPool::Shared {
  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable idle;
  // Clients by user and origin; a client is dropped once nothing of it waits or runs.
  std::map<std::string, ClientQueue> clients;
  // Clients with calls waiting, in the order of their turns.
  std::list<std::string> turns;
  std::map<std::string, int> runningByUser;
  int maxThreads;
  int userThreads;
  std::chrono::seconds idleLife;
  int threads = 0;
  int waiting = 0;  // threads waiting for a call
  int running = 0;
  int queued = 0;
  bool closed = false;

  // The client whose turn it is among those that may run one more call;
  // none when every waiting client is at its bound. Called with the mutex held.
  ClientQueue* NextRunnable() {
    for (auto turn = turns.begin(); turn != turns.end(); ++turn) {
      ClientQueue& client = clients[*turn];
      if (runningByUser[client.user] >= userThreads) continue;
      // Served: the client goes to the back of the turns while calls of it wait.
      const std::string key = *turn;
      turns.erase(turn);
      if (client.calls.size() > 1) turns.push_back(key);
      return &client;
    }
    return nullptr;
  }

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      ClientQueue* client = nullptr;
      ++waiting;
      const bool got = work.wait_for(lock, idleLife, [&] { return (client = NextRunnable()) != nullptr || closed; });
      --waiting;
      if (!got || client == nullptr) break;
      std::function<void()> call = std::move(client->calls.front());
      client->calls.pop_front();
      --queued;
      ++client->running;
      ++runningByUser[client->user];
      ++running;
      const std::string user = client->user;
      ClientQueue* const served = client;
      lock.unlock();
      call();
      call = nullptr;
      lock.lock();
      --running;
      if (--runningByUser[user] == 0) runningByUser.erase(user);
      --served->running;
      DropIfDone(*served);
      // The end of a call may let a held-back client run.
      if (queued > 0) work.notify_one();
      if (running == 0 && queued == 0) idle.notify_all();
    }
    --threads;
  }

  void DropIfDone(ClientQueue& client) {
    if (client.running != 0 || !client.calls.empty()) return;
    for (auto entry = clients.begin(); entry != clients.end(); ++entry)
      if (&entry->second == &client) {
        clients.erase(entry);
        return;
      }
  }
};

CallPool::CallPool(int maxThreads, std::chrono::seconds idleLife) : shared_(std::make_shared<Shared>()) {
  shared_->maxThreads = maxThreads > 0 ? maxThreads : 1;
  shared_->userThreads = shared_->maxThreads / 4 > 0 ? shared_->maxThreads / 4 : 1;
  shared_->idleLife = idleLife;
}

CallPool::~CallPool() { Drain(std::chrono::milliseconds(0)); }

void CallPool::Post(const std::string& user, const std::string& origin, std::function<void()> call) {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  if (shared_->closed) return;
  const std::string key = user + '\n' + origin;
  ClientQueue& client = shared_->clients[key];
  client.user = user;
  if (client.calls.empty()) shared_->turns.push_back(key);
  client.calls.push_back(std::move(call));
  ++shared_->queued;
  // A thread that waits takes it, if the client may run one more call now.
  if (shared_->runningByUser[user] >= shared_->userThreads) return;
  if (shared_->waiting > 0) {
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
  return shared_->idle.wait_for(lock, bound, [this] { return shared_->running == 0 && shared_->queued == 0; });
}

int CallPool::Threads() const {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  return shared_->threads;
}

int CallPool::Pending() const {
  std::lock_guard<std::mutex> guard(shared_->mutex);
  return shared_->running + shared_->queued;
}

}  // namespace zephost
