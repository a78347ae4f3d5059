#include "platform/process/self_exe.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace helper {

const std::string& ownExecutablePath() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    if (::realpath("/proc/self/exe", buf) != nullptr) return std::string(buf);
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    return args.substr(0, args.find('\0'));  // the first argument
  }();
  return path;
}

}  // namespace helper
