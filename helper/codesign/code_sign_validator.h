// Who may use the helper: a connecting process is served only when its code
// signature carries the helper's own Team ID and the application's
// identifier. Also keeps the launch image stamp, which tells a helper whose
// executable was replaced by an update apart from one that was never signed.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/codesign/code_signing.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper {

// Identity of a file as stat(2) reports it (following symbolic links).
struct ImageStamp {
  // st_dev in the kernel's 32-bit encoding (see stampOf).
  std::int32_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t mtime = 0;  // whole seconds; nanoseconds are not part of the stamp
  std::int64_t size = 0;

  friend bool operator==(const ImageStamp&, const ImageStamp&) = default;
};

// The two facts read from a code signature.
struct SigningInfo {
  std::optional<std::string> identifier;
  std::optional<std::string> teamID;  // absent for ad-hoc signed or unsigned code
};

class CodeSignValidator {
 public:
  CodeSignValidator() = delete;

  // The only client identifier served.
  static constexpr const char* kClientBundleID = "tarn.CorvalethApp";

  // Logger "CodeSign".
  static const Logger& log();

  // Guards startupStamp().
  static std::mutex& stampLock();
  // The stamp taken at start; absent until recordStartupStamp() stored it,
  // and for good if taking it failed then. Read and written only under
  // stampLock().
  static std::optional<ImageStamp>& startupStamp();

  // The running executable's path as remembered at start.
  static std::string ownExecutablePath();
  // The stamp of ownExecutablePath() now; absent when stat fails.
  static std::optional<ImageStamp> currentStamp();
  // The stamp of any path; absent when stat fails.
  static std::optional<ImageStamp> stampOf(const std::string& path);

  // For the process entry, once at start: stores currentStamp() into
  // startupStamp() under stampLock().
  static void recordStartupStamp();
  // True when a stamp was taken at start and the current one is absent or
  // differs from it. The lock is held only to copy the start stamp.
  static bool imageReplacedSinceLaunch();

  static std::optional<SigningInfo> signingInfo(const codesign::CodeRef& code);
  static std::optional<SigningInfo> signingInfo(const PeerProcess& peer);

  // True when the peer is trusted. Never throws; every refusal is logged.
  static bool validate(const PeerProcess& peer);
};

}  // namespace helper
