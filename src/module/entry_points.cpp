#include "module/entry_points.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/module_identity.h"
#include "module/virtual_manager_client.h"
#include "platform/clock.h"
#include "settings/settings_store.h"

namespace zep {

namespace {

// The keys of Reserved; a longer key that begins with one of them selects it.
constexpr const char* kQueryKey = "fileInQROWhiteList";
constexpr const char* kAddKey = "addFileToWhiteList";
constexpr size_t kKeyLength = 18;

void RemoveAll(std::string& text, char c) {
  std::string kept;
  for (char ch : text)
    if (ch != c) kept += ch;
  text = kept;
}

}  // namespace

std::string BuildVersionTag() {
  std::string version = kModuleVersion;
  RemoveAll(version, ',');
  RemoveAll(version, ' ');
  return "kelpm2_" + version;
}

bool DoAction(int32_t action, const char* servicePath, const char* /*hostText*/) {
  switch (action) {
    case ZEP_ACTION_START_COPY:
      SetWorkMode(ZEP_WORK_MODE_COPY);
      [[fallthrough]];
    case ZEP_ACTION_START:
      InitializeSettings();
      if (servicePath != nullptr) SetServiceExecutablePath(servicePath);
      return true;
    case ZEP_ACTION_NONE:
      return true;
    case ZEP_ACTION_STOP:
      return VirtualManagerClient::DestroyInstance();
    default:
      return false;
  }
}

uint32_t GetAlias(uint32_t* alias) {
  if (alias != nullptr) std::memcpy(alias, kModuleAlias, 4);  // "zep" and its NUL
  return 4;
}

uint32_t GetVersionDesc(char* buffer) {
  const std::string tag = BuildVersionTag();
  if (buffer != nullptr) std::memcpy(buffer, tag.c_str(), tag.size() + 1);
  return static_cast<uint32_t>(tag.size() + 1);
}

uint32_t GetPorts(bool secure, uint32_t* port) {
  if (port != nullptr) *port = secure ? kDefaultSslPort : kDefaultPort;
  return 1;
}

uint32_t GetWaitTimeout() {
  const InstanceRef client = VirtualManagerClient::Acquire();
  if (!client) return 1;
  const int64_t last = client->GetLastActivityTime();
  const int64_t now = platform::CurrentUnixSeconds();
  return (last != 0 && now - last > 30) ? 100 : 1;
}

int32_t GetImage(const char* request, void* buffer, uint32_t* size) {
  const InstanceRef client = VirtualManagerClient::Acquire();
  return client ? client->GetEncryptedImageMap(request, buffer, size) : 0;
}

int32_t SetImage(const char* request, const void* data, uint32_t size) {
  const InstanceRef client = VirtualManagerClient::Acquire();
  return client ? client->SetEncryptedImageMap(request, data, size) : 0;
}

int32_t Reserved(const char* key, const char* path, intptr_t reserved) {
  if (key == nullptr || path == nullptr || reserved != 0) return -1;
  // strncmp stops at a shorter key's terminator, so such a key selects nothing.
  const bool query = std::strncmp(key, kQueryKey, kKeyLength) == 0;
  if (!query && std::strncmp(key, kAddKey, kKeyLength) != 0) return -1;
  const InstanceRef client = VirtualManagerClient::Acquire();
  if (!client) return -1;
  if (query) return client->FileIsInWhiteList(path) ? 0 : -1;
  // An add that could not take the lock reports failure rather than success.
  return client->AddFileToWhiteList(path) ? 0 : -1;
}

}  // namespace zep
