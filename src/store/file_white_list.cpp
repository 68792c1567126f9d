#include "store/file_white_list.h"

namespace zep {

NormalizedPath::NormalizedPath(const char* path) {
  const size_t length = std::strlen(path);
  char* out = inPlace_;
  if (length >= sizeof inPlace_) {
    long_.resize(length);
    out = long_.data();
  }
  for (size_t i = 0; i < length; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
  out[length] = '\0';
  text_ = std::string_view(out, length);
}

}  // namespace zep
