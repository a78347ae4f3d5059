// The engine supervisor's errors: Errors of the domain "helper.MihomoError",
// whose message is the user-facing text that reaches the desktop
// application unchanged and whose code is the case.
#pragma once

#include <string>
#include <vector>

#include "platform/base/result.h"

namespace helper {

struct MihomoError {
  // Clients act on the numbers, so they never change (docs/protocol.md).
  enum class Case { binaryMissing = 0, startFailed = 1, tunNotCreated = 2 };

  static constexpr const char* kDomain = "helper.MihomoError";
  // The TUN wait limit as the user-facing text states it.
  static constexpr int kTunWaitLimitSeconds = 30;

  static Error binaryMissing(const std::string& path);
  static Error startFailed(const std::string& reason);
  // `logPath` is the engine's log as the user finds it; `existingUtuns`
  // sorted ascending by the caller.
  static Error tunNotCreated(const std::string& logPath, const std::vector<std::string>& existingUtuns);

  // True when `error` is this domain's `c`.
  static bool is(const Error& error, Case c) { return error.domain == kDomain && error.code == static_cast<int>(c); }
};

}  // namespace helper
