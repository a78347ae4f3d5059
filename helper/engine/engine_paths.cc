#include "helper/engine/engine_paths.h"

#include "platform/paths/paths.h"
#include "platform/os/os.h"

namespace helper {

std::string mihomoPath() {
  std::string dir = paths::dirName(os().ownExecutablePath());
  if (dir == "/") dir.clear();
  return dir + "/" + kEngineFileName;
}

}  // namespace helper
