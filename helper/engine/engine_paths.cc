#include "helper/engine/engine_paths.h"

#include "platform/paths/paths.h"
#include "platform/process/self_exe.h"

namespace helper {

std::string mihomoPath() {
  std::string dir = paths::dirName(ownExecutablePath());
  if (dir == "/") dir.clear();
  return dir + "/" + kEngineFileName;
}

}  // namespace helper
