// Supervision of the one proxy engine process: start it with a fresh
// configuration and wait for its TUN interface, stop it within bounded
// time, and clean up engines and routes that nobody holds any more.
//
// The manager has no lock of its own: the session service calls it with its
// lock held, which serialises every use.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helper/config/proxy_config.h"
#include "platform/codesign/image.h"
#include "platform/log/logger.h"
#include "platform/process/child_process.h"
#include "platform/os/os.h"

namespace helper {

// Every wait of the supervisor. Production uses the defaults; tests shorten
// them. The engine is mihomoPath(); every system call goes through os().
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
  explicit MihomoManager(const MihomoTimings& timings = {});
  MihomoManager(const MihomoManager&) = delete;
  MihomoManager& operator=(const MihomoManager&) = delete;
  // Drops the references only: callers stop() first.
  ~MihomoManager() = default;

  // Writes the configuration, launches the engine and blocks until it has
  // created a new utun interface. A MihomoError, or a file-system error
  // with its errno. Succeeds at once when the engine already runs.
  Status start(const ProxyConfig& upstream);
  // SIGTERM, up to 5 s, SIGKILL, up to 2 s; then removes the routes of the
  // captured interface and sweeps orphans.
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

  // The first of utun0, utun1, ... that is not in `present`.
  static std::string firstFreeUtun(const std::set<std::string>& present);

 private:
  // Runs /usr/sbin/ip with CAP_NET_ADMIN only; its output as UTF-8 text
  // (empty when the bytes are not UTF-8).
  Result<std::string> ip(const std::vector<std::string>& args);
  std::set<std::string> utunInterfaces();
  Status waitForTun(const std::set<std::string>& snapshot, LinkMonitor* links);
  // Kills every process running the engine file (or the file last
  // launched) but the held engine; returns them.
  std::vector<PeerProcess> killOrphanMihomoProcesses();
  void cleanupUtunRoutes(const std::string& name);
  // Removes the ip rules and the routing table of the engine's automatic
  // routing that are still in place (both families).
  void cleanupEngineRouting();

  Logger log_;
  const MihomoTimings timings_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::string> capturedUtun_;
  // The file the last engine was launched from, which may be gone from the
  // engine path since (an update): its processes are still engines.
  std::optional<FileIdentity> launchedImage_;
};

}  // namespace helper
