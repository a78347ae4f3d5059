// The engine binary check made before every engine start: the file must be
// one only root can change, its signature intact and carrying the helper's
// own Team ID.
#pragma once

#include <string>

#include "platform/base/result.h"
#include "platform/codesign/image.h"

namespace helper {

// The engine at `enginePath`, open, when it is trusted: launching that
// descriptor runs exactly the file checked, whatever happens to the path
// afterwards. Otherwise MihomoError::startFailed with the reason. Writes no
// log line.
Result<codesign::RootImage> validateMihomoSignature(const std::string& enginePath);

}  // namespace helper
