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
#include "platform/log/logger.h"
#include "platform/process/child_process.h"
#include "platform/system/system.h"

namespace helper {

// Every wait of the supervisor. Production uses the defaults; tests shorten
// them.
struct MihomoTimings {
  double tunWaitLimit = 30;       // from the launch to giving up on the TUN device
  double tunPollInterval = 0.25;  // at most between two interface listings
  double progressInterval = 5;    // between two "waiting for TUN…" lines
  double terminateGrace = 5;      // after SIGTERM
  double killGrace = 2;           // after SIGKILL
  double sweepPause = 0.2;        // between the orphan kill and the interface listing
};

class MihomoManager {
 public:
  struct Options {
    // The engine executable; empty means mihomoPath(), computed on each use.
    std::string enginePath;
    MihomoTimings timings;
    System* system = nullptr;  // nullptr: realSystem()
    // The engine signature check; empty means validateMihomoSignature.
    std::function<void(const std::string& enginePath)> checkSignature;
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
  // Kills every engine process started from the engine path that is not the
  // one held, then cleans the captured interface if it is still there.
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
  // The process ids in pgrep output: one signed 32-bit decimal per line,
  // lines that are anything else skipped.
  static std::vector<int32_t> parseProcessIds(const std::string& output);

 private:
  std::string run(const std::string& path, const std::vector<std::string>& args);
  std::set<std::string> utunInterfaces();
  void waitForTun(const std::set<std::string>& snapshot, LinkMonitor* links);
  void killOrphanMihomoProcesses();
  void cleanupUtunRoutes(const std::string& name);

  Logger log_;
  Options options_;
  System& system_;
  std::unique_ptr<ChildProcess> process_;
  std::optional<std::string> capturedUtun_;
};

}  // namespace helper
