// A connection's holds on the host's shared bounds, each given back when
// the holder ends, on whatever thread that is.
#pragma once

#include <memory>
#include <string>

#include "host_state.h"

namespace zephost {

// Counts itself among the host's connections while it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(HostServer::State& state) : state_(state) { ++state_.connections; }
  ~ConnectionSlot() { --state_.connections; }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  HostServer::State& state_;
};

// A connection's place in a fair share: its user's, or its page origin's.
class ShareSlot {
 public:
  // Null when the share is full.
  static std::unique_ptr<ShareSlot> Take(HostServer::State& state, const std::string& key, int limit) {
    std::lock_guard<std::mutex> guard(state.shareMutex);
    int& held = state.shares[key];
    if (held >= limit) {
      if (held == 0) state.shares.erase(key);
      return nullptr;
    }
    ++held;
    return std::unique_ptr<ShareSlot>(new ShareSlot(state, key));
  }
  ~ShareSlot() {
    std::lock_guard<std::mutex> guard(state_.shareMutex);
    auto entry = state_.shares.find(key_);
    if (entry != state_.shares.end() && --entry->second <= 0) state_.shares.erase(entry);
  }
  ShareSlot(const ShareSlot&) = delete;
  ShareSlot& operator=(const ShareSlot&) = delete;
  const std::string& Key() const { return key_; }

 private:
  ShareSlot(HostServer::State& state, std::string key) : state_(state), key_(std::move(key)) {}
  HostServer::State& state_;
  std::string key_;
};

// Bytes of the body budget held by one request or message of a client.
class HeldBytes {
 public:
  HeldBytes(HostServer::State& state, std::string client) : state_(state), client_(std::move(client)) {}
  ~HeldBytes() { Release(); }
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;
  bool Take(int64_t bytes) {
    if (bytes <= 0) return true;
    if (!state_.TakeBytes(client_, bytes)) return false;
    held_ += bytes;
    return true;
  }
  void Release() {
    if (held_ != 0) state_.GiveBytes(client_, held_);
    held_ = 0;
  }

 private:
  HostServer::State& state_;
  const std::string client_;
  int64_t held_ = 0;
};

// What a client gets in place of a reply that does not fit in its part of the budget.
constexpr const char* kReplyOverBudget = "The reply does not fit in the memory this client may hold: try again later.";

}  // namespace zephost
