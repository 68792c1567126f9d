// The whitelist of file paths behind the exported Reserved.
#pragma once

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace zep {

// A path as the list keeps it: backslashes become slashes, nothing else
// changes. The text goes into a buffer on the stack when it fits one, so
// that a query allocates nothing.
class NormalizedPath {
 public:
  explicit NormalizedPath(const char* path);
  NormalizedPath(const NormalizedPath&) = delete;
  NormalizedPath& operator=(const NormalizedPath&) = delete;
  std::string_view View() const { return text_; }
  const char* CString() const { return text_.data(); }

 private:
  char inPlace_[512];
  std::string long_;
  std::string_view text_;
};

class FileWhiteList {
 public:
  bool Contains(const NormalizedPath& path) const { return paths_.find(path.View()) != paths_.end(); }
  void Add(const NormalizedPath& path) { paths_.emplace(path.View()); }
  void Clear() { paths_.clear(); }

 private:
  std::set<std::string, std::less<>> paths_;
};

}  // namespace zep
