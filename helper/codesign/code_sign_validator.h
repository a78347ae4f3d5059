// Who may use the helper. A connecting process is served only when it runs
// the installed application, unmodified, and nothing else can speak for it:
// - it runs in the helper's own pid and user namespaces (elsewhere the
//   credentials it sends could name processes it made up), and nothing
//   traces it;
// - unless it is root's: it connected with the application's group as its
//   effective group and still has it, which only the set-group-ID
//   application gives a user, and it is not dumpable, which keeps the other
//   processes of its user out of it (no ptrace, no /proc/PID/mem); its
//   user is no member of that group;
// - its executable is a file only root can change (image.h), signed with
//   the helper's own Team ID under the application's identifier, and
//   intact.
// Cheap checks come first; the contents are hashed only for images that
// could be admitted, a few at a time with a fair turn for every user, within
// a time limit, and the result is remembered for that file as long as
// nothing about it changes.
//
// Also keeps the launch image stamp, which tells a helper whose executable
// was replaced by an update apart from one that was never signed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/codesign/code_file.h"
#include "platform/codesign/image.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper {

// The two facts read from a code signature.
struct SigningInfo {
  std::optional<std::string> identifier;
  std::optional<std::string> teamID;  // absent for ad-hoc signed or unsigned code
};

// What a later request of an admitted client is checked against.
struct AdmittedPeer {
  bool root = false;             // connected as root: trusted like root
  uid_t uid = 0;                 // its real user and group, which the kernel
  gid_t gid = 0;                 // attaches to every packet it sends
  codesign::FileIdentity image;  // the executable it ran at admission
};

// The outcome of validate(): the admitted peer, or the lines that say why
// not (in order; the caller logs them).
struct Verdict {
  std::optional<AdmittedPeer> admitted;
  std::vector<std::pair<LogLevel, std::string>> lines;
};

class CodeSignValidator {
 public:
  CodeSignValidator() = delete;

  // The only client identifier served.
  static constexpr const char* kClientBundleID = "tarn.CorvalethApp";
  // The group the application is installed set-group-ID to. HELPER_CLIENT_GROUP,
  // read once, names another (tests).
  static constexpr const char* kClientGroup = "corvalethapp";
  // Hashing an image gives up after this long.
  static constexpr double kHashTimeLimit = 10;
  // Images larger than this are not hashed at all.
  static constexpr std::int64_t kMaxImageSize = std::int64_t{1} << 30;

  // Logger "CodeSign".
  static const Logger& log();

  // For the process entry, once at start: remembers the identity of the
  // executable file (os().ownExecutablePath()).
  static void recordStartupStamp();
  // True when an identity was remembered at start and the file now is
  // another one, or changed in any way, or is gone.
  static bool imageReplacedSinceLaunch();

  // The helper's own signing information: read once from its running image;
  // absent when that fails, and from the moment the executable on disk is
  // no longer the one launched (an update), as if it could not be read.
  static std::optional<SigningInfo> ownSigningInfo();

  // Decides whether `peer` is served. Never throws.
  static Verdict validate(const PeerProcess& peer);
  // For every request of an admitted peer: empty while the process still
  // runs the executable it was admitted with; otherwise why not.
  static std::string recheck(const PeerProcess& peer, const AdmittedPeer& admitted);

  // The contents check of an image that passed every cheaper check:
  // remembered by the image's whole identity, a few at a time with turns by
  // `user`, bounded by kHashTimeLimit. Also used for the engine.
  static codesign::CodeEvaluation checkContents(const codesign::RootImage& image,
                                                const codesign::CodeEvaluation& signature, uid_t user);
  // How many images were hashed in this process (for tests and benchmarks).
  static std::uint64_t contentChecks();

  // The group id of kClientGroup; absent when there is no such group.
  static std::optional<gid_t> clientGroup();
  static std::string clientGroupName();
};

}  // namespace helper
