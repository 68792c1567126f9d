// The module's ten exports, bound from a library loaded by path.
#pragma once

#include <string>

#include "platform/dynamic_library.h"
#include "zep_exports.h"

namespace zephost {

class ModuleLibrary {
 public:
  // False (with Error()) when the library or one of its exports is missing.
  bool Load(const std::string& path);
  const std::string& Error() const { return error_; }

  decltype(&::DoAction) DoAction = nullptr;
  decltype(&::GetAlias) GetAlias = nullptr;
  decltype(&::GetVersionDesc) GetVersionDesc = nullptr;
  decltype(&::GetPorts) GetPorts = nullptr;
  decltype(&::GetWaitTimeout) GetWaitTimeout = nullptr;
  decltype(&::DistributeCommand) DistributeCommand = nullptr;
  decltype(&::GetImage) GetImage = nullptr;
  decltype(&::SetImage) SetImage = nullptr;
  decltype(&::Reserved) Reserved = nullptr;
  decltype(&::CloseWebSocket) CloseWebSocket = nullptr;

 private:
  zep::platform::DynamicLibrary library_;
  std::string error_;
};

}  // namespace zephost
