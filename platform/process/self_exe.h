// The path of the running executable, taken once. After an update replaces
// the file, /proc/self/exe reads "... (deleted)", so everything that needs the
// path (the launch image stamp, the engine beside us) uses the one remembered
// at start.
#pragma once

#include <string>

namespace helper {

// The real path of /proc/self/exe at first call; if that cannot be read, the
// first process argument; if there is none, the empty text. The process entry
// calls it first thing so that the remembered path is the launch path.
const std::string& ownExecutablePath();

}  // namespace helper
