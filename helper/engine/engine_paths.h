// Where the engine and its files live: Linux's own places, state under
// /var/lib and logs under /var/log (which systemd's StateDirectory= and
// LogsDirectory= provide). The paths are the product's fixed constants;
// each use goes through paths::rooted() so a HELPER_ROOT sandbox can move
// them.
#pragma once

#include <string>

namespace helper {

inline constexpr const char* kEngineDataDir = "/var/lib/tarn.CorvalethApp/mihomo";
inline constexpr const char* kEngineConfigPath = "/var/lib/tarn.CorvalethApp/mihomo/config.yaml";
inline constexpr const char* kLogDir = "/var/log/CorvalethApp";
inline constexpr const char* kEngineLogPath = "/var/log/CorvalethApp/mihomo.log";
inline constexpr const char* kEngineFileName = "tarn.CorvalethApp.mihomo";

// The engine executable: the file "tarn.CorvalethApp.mihomo" in the directory
// of the helper's own executable (os().ownExecutablePath()), computed on
// every use.
std::string mihomoPath();

}  // namespace helper
