// Loading a library by path, as a host does.
#pragma once

#include <string>

namespace zep::host {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  explicit DynamicLibrary(const std::string& path) { Open(path); }
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool Loaded() const { return native_ != nullptr; }
  void* Symbol(const char* name) const;
  // The file the system loaded, links resolved where the system has them:
  // where the library itself finds its own folder. "" when not loaded.
  std::string LoadedPath() const;
  std::string Error() const { return error_; }

 private:
  void* native_ = nullptr;
  std::string error_;
};

}  // namespace zep::host
