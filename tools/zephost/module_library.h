// The module's ten exports, bound from a library loaded by path.
#pragma once

#include <string>

#include "host_support/dynamic_library.h"
#include "zep_exports.h"

namespace zephost {

class ModuleLibrary {
 public:
  // False (with Error()) when the library or one of its exports is missing.
  bool Load(const std::string& path);
  const std::string& Error() const { return error_; }
  // The module's file as the system loaded it (see DynamicLibrary).
  std::string LoadedPath() const { return library_.LoadedPath(); }

  ZepDoActionFn DoAction = nullptr;
  ZepGetAliasFn GetAlias = nullptr;
  ZepGetVersionDescFn GetVersionDesc = nullptr;
  ZepGetPortsFn GetPorts = nullptr;
  ZepGetWaitTimeoutFn GetWaitTimeout = nullptr;
  ZepDistributeCommandFn DistributeCommand = nullptr;
  ZepGetImageFn GetImage = nullptr;
  ZepSetImageFn SetImage = nullptr;
  ZepReservedFn Reserved = nullptr;
  ZepCloseWebSocketFn CloseWebSocket = nullptr;

 private:
  zep::host::DynamicLibrary library_;
  std::string error_;
};

}  // namespace zephost
