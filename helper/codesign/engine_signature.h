// The engine binary check made before every engine start: the file's
// signature must be intact and carry the helper's own Team ID.
#pragma once

#include <string>

namespace helper {

// Returns normally when the engine at `enginePath` is trusted; otherwise
// throws MihomoError::startFailed with the reason. Writes no log line.
void validateMihomoSignature(const std::string& enginePath);

}  // namespace helper
