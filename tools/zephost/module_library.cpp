#include "module_library.h"

namespace zephost {

bool ModuleLibrary::Load(const std::string& path) {
  if (!library_.Open(path)) {
    error_ = "cannot load " + path + ": " + library_.Error();
    return false;
  }
  bool complete = true;
  auto bind = [&](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library_.Symbol(name));
    if (slot == nullptr) {
      error_ += std::string(error_.empty() ? "" : ", ") + "missing export " + name;
      complete = false;
    }
  };
  bind(DoAction, "DoAction");
  bind(GetAlias, "GetAlias");
  bind(GetVersionDesc, "GetVersionDesc");
  bind(GetPorts, "GetPorts");
  bind(GetWaitTimeout, "GetWaitTimeout");
  bind(DistributeCommand, "DistributeCommand");
  bind(GetImage, "GetImage");
  bind(SetImage, "SetImage");
  bind(Reserved, "Reserved");
  bind(CloseWebSocket, "CloseWebSocket");
  return complete;
}

}  // namespace zephost
