#include "platform/paths/paths.h"

#include <cstdlib>

namespace helper::paths {

const std::string& helperRoot() {
  static const std::string root = [] {
    const char* value = std::getenv("HELPER_ROOT");
    std::string r = value ? value : "";
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") r.clear();
    return r;
  }();
  return root;
}

std::string rooted(std::string_view absolutePath) {
  return helperRoot() + std::string(absolutePath);
}

std::string dirName(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace helper::paths
