#include "host_state.h"

#include <cstdlib>

#include "host_support/host_platform.h"
#include "reply_registry.h"

namespace zephost {

int Setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

bool HostServer::State::TakeBytes(const std::string& client, int64_t bytes) {
  std::lock_guard<std::mutex> guard(shareMutex);
  int64_t& byClient = bodyBytesByClient[client];
  if (bodyBytes + bytes > bodyBudget || byClient + bytes > clientBudget) {
    if (byClient == 0) bodyBytesByClient.erase(client);
    return false;
  }
  bodyBytes += bytes;
  byClient += bytes;
  return true;
}

void HostServer::State::GiveBytes(const std::string& client, int64_t bytes) {
  std::lock_guard<std::mutex> guard(shareMutex);
  bodyBytes -= bytes;
  auto entry = bodyBytesByClient.find(client);
  if (entry != bodyBytesByClient.end() && (entry->second -= bytes) <= 0) bodyBytesByClient.erase(entry);
}

bool HostServer::State::HostIsOurs(beast::string_view host) const {
  for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
    if (host == name) return true;
    for (uint16_t port : ports)
      if (host == std::string(name) + ":" + std::to_string(port)) return true;
  }
  return false;
}

std::vector<std::string> HostServer::State::Distribute(const std::string& url, const std::string& payload,
                                                       const std::string& origin, uint32_t socket) {
  const uint32_t handle = ReplyRegistry::Instance().Open();
  const bool binary = url.find("/LoadZipFromBytes") != std::string::npos;
  module.DistributeCommand(handle, 0, 0, url.c_str(), binary ? "" : payload.c_str(),
                           binary ? reinterpret_cast<const uint8_t*>(payload.data()) : nullptr,
                           binary ? static_cast<uint32_t>(payload.size()) : 0, 1, &SendBack, socket, origin.c_str(), 0,
                           0, 0);
  return ReplyRegistry::Instance().Close(handle);
}

void HostServer::State::Post(const std::string& user, const std::string& origin, const std::string& payload,
                             std::function<void()> call) {
  CallPool& lane = payload.find("\"CheckQROPort\"") != std::string::npos ? checks : calls;
  lane.Post(user, origin, std::move(call));
}

void HostServer::State::LookUpUser(uint32_t socket, std::function<void(const std::string&)> done) {
  std::lock_guard<std::mutex> guard(lookupMutex);
  lookups.emplace_back(socket, std::move(done));
  if (lookingUp) return;
  lookingUp = true;
  calls.Post("", "", [this] { LookUpWaiting(); });
}
void HostServer::State::LookUpWaiting() {
  for (;;) {
    std::vector<std::pair<uint32_t, std::function<void(const std::string&)>>> batch;
    {
      std::lock_guard<std::mutex> guard(lookupMutex);
      if (lookups.empty()) {
        lookingUp = false;
        return;
      }
      batch.swap(lookups);
    }
    std::vector<uint32_t> sockets;
    for (const auto& lookup : batch) sockets.push_back(lookup.first);
    const std::vector<std::string> users = zep::host::ClientUsersOf(sockets);
    for (size_t i = 0; i < batch.size(); ++i) batch[i].second(users[i]);
  }
}

}  // namespace zephost
