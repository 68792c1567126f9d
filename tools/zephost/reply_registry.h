// Replies the module hands back through its callback, kept by the handle of
// the request they answer until the request's call returns.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zephost {

// Replies the module hands back, by the handle of the connection they belong to.
class ReplyRegistry {
 public:
  static ReplyRegistry& Instance() {
    static ReplyRegistry registry;
    return registry;
  }
  uint32_t Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    uint32_t handle = ++next_;
    if (handle == 0) handle = ++next_;
    replies_[handle];
    return handle;
  }
  std::vector<std::string> Close(uint32_t handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> texts = std::move(replies_[handle]);
    replies_.erase(handle);
    return texts;
  }
  bool Deliver(uint32_t handle, const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto entry = replies_.find(handle);
    if (entry == replies_.end()) return false;
    entry->second.push_back(text != nullptr ? text : "");
    return true;
  }

 private:
  std::mutex mutex_;
  uint32_t next_ = 0;
  std::map<uint32_t, std::vector<std::string>> replies_;
};

// The module's SendBackCallback: 1 when the handle's request is still open.
int32_t SendBack(uint32_t handle, uint64_t context, const char* text, const void* data, uint32_t length,
                 intptr_t reserved);

}  // namespace zephost
