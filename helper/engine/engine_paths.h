// Where the engine and its files live. The paths are the product's fixed
// constants; each use goes through paths::rooted() so a HELPER_ROOT sandbox
// can move them.
#pragma once

#include <string>

namespace helper {

inline constexpr const char* kEngineDataDir =
    "/Library/Application Support/tarn.CorvalethApp/mihomo";
inline constexpr const char* kEngineConfigPath =
    "/Library/Application Support/tarn.CorvalethApp/mihomo/config.yaml";
inline constexpr const char* kLogDir = "/Library/Logs/CorvalethApp";
inline constexpr const char* kEngineLogPath = "/Library/Logs/CorvalethApp/mihomo.log";
inline constexpr const char* kHelperLogPath = "/Library/Logs/CorvalethApp/helper.log";
inline constexpr const char* kEngineFileName = "tarn.CorvalethApp.mihomo";

// The engine executable: the file "tarn.CorvalethApp.mihomo" in the directory
// of the helper's own executable, computed on every use.
std::string mihomoPath();

}  // namespace helper
