// Supervision of the one proxy engine process: start it with a fresh
// configuration and wait for its TUN interface, stop it within bounded
// time, and clean up engines and routes that nobody holds any more.
//
// The manager has no lock of its own: the session service calls it with its
// lock held, which serialises every use.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helper/config/proxy_config.h"
#include "platform/codesign/image.h"
#include "platform/log/logger.h"
#include "platform/process/child_process.h"
#include "platform/system/system.h"

namespace helper {

// Every wait of the supervisor. Production uses the defaults; tests shorten
// them.
struct MihomoTimings {
  double tunWaitLimit = 30;       // from the launch to giving up on the TUN device
  double tunPollInterval = 0.25;  // at most between two interface listings
  // After its device appears the engine still sets up its routing and its
  // rule engine, and drops connections until it has. The start returns once
  // the engine has settled (no thread of it running), looked at this often,
  // and at most the settle limit later; it fails if the engine died
  // meanwhile.
  double settleCheck = 0.001;
  double settleLimit = 0.02;
  double progressInterval = 5;    // between two "waiting for TUN…" lines
  double terminateGrace = 5;      // after SIGTERM
  double killGrace = 2;           // after SIGKILL
  double sweepPause = 0.2;        // at most, for killed orphans to end before the interface listing
};

class MihomoManager {
 public:
  struct Options {
    // The engine executable; empty means mihomoPath(), computed on each use.
    std::string enginePath;
    MihomoTimings timings;
    System* system = nullptr;  // nullptr: realSystem()
    // The engine check; returns the file to launch. Empty means
    // validateMihomoSignature.
    std::function<codesign::RootImage(const std::string& enginePath)> checkSignature;
  };

  MihomoManager();
  explicit MihomoManager(Options options);
  MihomoManager(const MihomoManager&) = delete;
  MihomoManager& operator=(const MihomoManager&) = delete;
  // Drops the references only: callers stop() first.
  ~MihomoManager() = default;

  // Writes the configuration, launches the engine and blocks until it has
  // created a new utun interface. Throws MihomoError, or a file-system error
  // unchanged. Returns at once when the engine already runs.
  void start(const ProxyConfig& upstream);
  // SIGTERM, up to 5 s, SIGKILL, up to 2 s; then removes the routes of the
  // captured interface and sweeps orphans. Never throws.
  void stop();
  // Kills every engine process that is not the one held, waits for them to
  // end, then cleans the captured interface if it is still there and
  // removes routing the engine left behind.
  void sweepOrphanUtuns();

  // The engine launched by the last successful launch; null when none.
  ChildProcess* process() const { return process_.get(); }
  // The held engine exists and has not ended.
  bool isEngineRunning() const;
  const std::optional<std::string>& capturedUtun() const { return capturedUtun_; }
  std::string enginePath() const;

  // Runs a system tool by absolute path: standard output and standard error
  // interleaved, as UTF-8 text (the empty text if the bytes are not UTF-8).
  // Throws std::system_error when the tool cannot be started.
  static std::string runShellSync(const std::string& path, const std::vector<std::string>& args);
  // The names beginning with "utun" of this network namespace's interfaces;
  // empty when they cannot be listed.
  static std::set<std::string> listUtunInterfaces();
  // The first of utun0, utun1, ... that is not in `present`.
  static std::string firstFreeUtun(const std::set<std::string>& present);

 private:
  // Runs /usr/sbin/ip with CAP_NET_ADMIN only; its output as UTF-8 text.
  std::string ip(const std::vector<std::string>& args);
  std::set<std::string> utunInterfaces();
  void waitForTun(const std::set<std::string>& snapshot, LinkMonitor* links);
  // Kills every process running the engine file (or the file last
  // launched) but the held engine; returns them.
  std::vector<PeerProcess> killOrphanMihomoProcesses();
  void cleanupUtunRoutes(const std::string& name);
  // Removes the ip rules and the routing table of the engine's automatic
  // routing that are still in place (both families).
  void cleanupEngineRouting();

  Logger log_;
  Options options_;
  System& system_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::string> capturedUtun_;
  // The file the last engine was launched from, which may be gone from the
  // engine path since (an update): its processes are still engines.
  std::optional<FileIdentity> launchedImage_;
};

}  // namespace helper
