#include "helper/engine/mihomo_manager.h"

#include <linux/capability.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "helper/engine/engine_signature.h"
#include "helper/config/engine_config.h"
#include "helper/engine/engine_paths.h"
#include "helper/protocol/mihomo_error.h"
#include "platform/paths/paths.h"
#include "platform/text/utf8.h"

namespace helper {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";

std::set<std::string> utunNames(const std::vector<std::string>& names) {
  std::set<std::string> out;
  for (const auto& name : names) {
    if (name.rfind("utun", 0) == 0) out.insert(name);
  }
  return out;
}

// Sorted ascending by byte value (utun10 before utun2), joined by `separator`.
std::string joined(const std::set<std::string>& names, const char* separator) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : separator) + name;
  return out;
}

// Sets the process's file creation mask and restores the one before on
// every way out.
class FileCreationMask {
 public:
  explicit FileCreationMask(mode_t mask) : previous_(os().setFileCreationMask(mask)) {}
  ~FileCreationMask() { os().setFileCreationMask(previous_); }
  FileCreationMask(const FileCreationMask&) = delete;
  FileCreationMask& operator=(const FileCreationMask&) = delete;

 private:
  mode_t previous_;
};

}  // namespace

MihomoManager::MihomoManager(const MihomoTimings& timings) : log_(kLogSubsystem, "Mihomo"), timings_(timings) {}

bool MihomoManager::isEngineRunning() const { return process_ && process_->isRunning(); }

std::string MihomoManager::firstFreeUtun(const std::set<std::string>& present) {
  for (unsigned n = 0;; ++n) {
    std::string name = "utun" + std::to_string(n);
    if (!present.count(name)) return name;
  }
}

Result<std::string> MihomoManager::ip(const std::vector<std::string>& args) {
  // Changing routes, rules and links takes CAP_NET_ADMIN and nothing else;
  // asked for explicitly, so that ip has it whoever the helper runs as
  // (an exec by a non-root helper passes on no capability by itself).
  Result<std::string> bytes = os().runCommand(kIp, args, std::vector<int>{CAP_NET_ADMIN});
  if (bytes && !utf8::isValid(*bytes)) return std::string();
  return bytes;
}

std::set<std::string> MihomoManager::utunInterfaces() { return utunNames(os().interfaceNames()); }

Status MihomoManager::start(const ProxyConfig& upstream) {
  if (isEngineRunning()) {
    log_.notice("start() called but mihomo already running");
    return success();
  }
  const std::string engine = mihomoPath();
  if (!os().isExecutableFile(engine)) return MihomoError::binaryMissing(engine);
  Result<codesign::RootImage> image = validateMihomoSignature(engine);
  if (!image) return image.error();

  const std::string dataDir = paths::rooted(kEngineDataDir);
  const std::string configPath = paths::rooted(kEngineConfigPath);
  const std::string logPath = paths::rooted(kEngineLogPath);
  // The engine runs under this mask too, so whatever it creates (and the
  // folders made here) is accessible to its owner only.
  FileCreationMask mask(077);
  for (const std::string& dir : {dataDir, paths::rooted(kLogDir)}) {
    if (Status made = os().createDirectories(dir); !made) return made;
  }

  // Subscribed before the snapshot, so that a device created after it is
  // announced to the wait below. The snapshot comes before the
  // configuration, which names the device: the first utunN not taken, so a
  // leftover or foreign "utun" device never blocks the start.
  const std::unique_ptr<LinkMonitor> links = os().openLinkMonitor();
  const std::set<std::string> snapshot = utunInterfaces();
  const Result<std::string> config = makeConfig(upstream, firstFreeUtun(snapshot));
  if (!config) return config.error();
  if (Status written = os().writeFileAtomically(configPath, *config, 0600); !written) return written;

  {
    // The log and the checked file stay open only until the launch.
    const Result<UniqueFd> logFd = os().openForAppend(logPath, 0600);
    if (!logFd) return MihomoError::startFailed("cannot open log file: " + std::string(std::strerror(logFd.error().code)));
    SpawnRequest request(engine, {"-d", dataDir, "-f", configPath}, logFd->get(), logFd->get());
    // The file checked is the file run, and it runs with only what a TUN
    // device and routing need.
    request.executableFd = image->fd.get();
    request.keepCapabilities = std::vector<int>{CAP_NET_ADMIN, CAP_NET_RAW, CAP_NET_BIND_SERVICE};
    Result<std::unique_ptr<ChildProcess>> child = os().spawn(request);
    if (!child) {
      return MihomoError::startFailed("Process.run() failed: " + std::string(std::strerror(child.error().code)));
    }
    process_ = std::move(*child);
    launchedImage_ = image->identity;
    image->fd.reset();
  }
  log_.notice("mihomo started, PID %d", process_->pid());
  return waitForTun(snapshot, links.get());
}

Status MihomoManager::waitForTun(const std::set<std::string>& snapshot, LinkMonitor* links) {
  const MihomoTimings& t = timings_;
  const double started = os().monotonicNow();
  const double deadline = started + t.tunWaitLimit;
  double lastProgress = started;

  auto prematureExit = [this] {
    const int status = process_->terminationStatus();
    log_.error("mihomo exited prematurely with status %d", status);
    process_.reset();
    return MihomoError::startFailed("mihomo exited (status " + std::to_string(status) + ") — см. " +
                                    paths::rooted(kEngineLogPath));
  };
  std::set<std::string> current;
  bool timedOut = !(os().monotonicNow() < deadline);
  while (!timedOut) {
    if (!process_->isRunning()) return prematureExit();
    current = utunInterfaces();
    for (const auto& name : current) {
      if (!snapshot.count(name)) {
        log_.notice("mihomo created TUN device %s", name.c_str());
        // Quiet at two looks in a row: a moment between two bursts of work
        // does not count.
        const double settled = os().monotonicNow() + t.settleLimit;
        for (int quiet = 0; quiet < 2 && os().monotonicNow() < settled - 1e-9;) {
          if (process_->waitForExit(t.settleCheck)) return prematureExit();
          quiet = os().processQuiet(process_->pid()) ? quiet + 1 : 0;
        }
        capturedUtun_ = name;
        return success();
      }
    }
    const double now = os().monotonicNow();
    if (now - lastProgress >= t.progressInterval) {
      lastProgress = now;
      log_.notice("waiting for TUN… %lds elapsed, utuns: %s", static_cast<long>(now - started),
                  joined(current, ",").c_str());
    }
    // The pause ends early when the kernel announces a link, usually the
    // engine's new device; without a subscription it is slept out.
    if (links) {
      links->waitForLinkChange(t.tunPollInterval);
    } else {
      os().sleepFor(t.tunPollInterval);
    }
    timedOut = !(os().monotonicNow() < deadline);
  }

  current = utunInterfaces();
  log_.error("mihomo started but TUN not created within %lds — killing. utuns present: %s",
             static_cast<long>(t.tunWaitLimit), joined(current, ",").c_str());
  process_->sendSignal(SIGKILL);
  process_->waitForExit(-1);
  process_.reset();
  return MihomoError::tunNotCreated(paths::rooted(kEngineLogPath), std::vector<std::string>(current.begin(), current.end()));
}

void MihomoManager::stop() {
  if (!process_) {
    sweepOrphanUtuns();
    return;
  }
  const MihomoTimings& t = timings_;
  log_.notice("stopping mihomo (PID %d)", process_->pid());
  process_->sendSignal(SIGTERM);
  // Waits on the engine's pidfd: an engine that exits at once is noticed at
  // once, and the graces stay bounds.
  if (!process_->waitForExit(t.terminateGrace)) {
    log_.error("mihomo did not exit within 5s, sending SIGKILL");
    process_->sendSignal(SIGKILL);
    process_->waitForExit(t.killGrace);
  }
  if (process_->isRunning()) {
    log_.error("mihomo still running after SIGKILL+2s — abandoning wait to avoid lock starvation");
  } else {
    log_.notice("mihomo exited (status %d)", process_->terminationStatus());
  }
  process_.reset();
  if (capturedUtun_) cleanupUtunRoutes(*capturedUtun_);
  // With the handle gone, the sweep also kills an engine abandoned above.
  sweepOrphanUtuns();
  capturedUtun_.reset();
}

void MihomoManager::sweepOrphanUtuns() {
  // What was killed is waited for, up to the pause; with nothing killed
  // there is nothing to wait for.
  const std::vector<PeerProcess> killed = killOrphanMihomoProcesses();
  if (!killed.empty()) os().waitForExits(killed, timings_.sweepPause);
  const auto present = utunInterfaces();
  if (capturedUtun_ && present.count(*capturedUtun_)) {
    log_.error("orphan TUN %s still present after process kill, manual cleanup", capturedUtun_->c_str());
    cleanupUtunRoutes(*capturedUtun_);
  }
  // No engine of ours runs at this point, so the engine's policy routing
  // still in place is a leftover of one that could not remove it.
  cleanupEngineRouting();
}

std::vector<PeerProcess> MihomoManager::killOrphanMihomoProcesses() {
  // An engine is a process whose executable is the engine file, or the file
  // the last engine was launched from; what its arguments say does not
  // matter.
  std::vector<FileIdentity> images;
  if (const auto current = os().fileIdentity(mihomoPath())) images.push_back(*current);
  if (launchedImage_) images.push_back(*launchedImage_);
  std::vector<PeerProcess> killed;
  for (PeerProcess& engine : os().processesRunning(images)) {
    if (process_ && engine.pid() == process_->pid()) continue;
    log_.notice("found orphan mihomo PID %d, sending SIGKILL", engine.pid());
    (void)os().signal(engine, SIGKILL);
    killed.push_back(std::move(engine));
  }
  return killed;
}

void MihomoManager::cleanupEngineRouting() {
  // The engine's automatic routing is a routing table and ip rules at
  // priorities kEngineRuleIndex to kEngineRuleIndex + kEngineRuleSpan, in
  // both families; the configuration pins both, so what is there is the
  // engine's. An engine that ends on SIGTERM removes them itself; one killed
  // leaves the rules (its routes go with its device).
  const std::string table = std::to_string(kEngineRouteTable);
  for (const char* family : {"-4", "-6"}) {
    const Result<std::string> listing = ip({"-j", family, "rule", "show"});
    if (!listing) continue;
    std::vector<int> priorities;
    const nlohmann::json rules = nlohmann::json::parse(*listing, nullptr, false);
    if (rules.is_array()) {
      for (const auto& rule : rules) {
        if (!rule.is_object()) continue;
        const auto priority = rule.find("priority");
        if (priority == rule.end() || !priority->is_number_integer()) continue;
        const int p = priority->get<int>();
        if (p >= kEngineRuleIndex && p <= kEngineRuleIndex + kEngineRuleSpan) priorities.push_back(p);
      }
    }
    if (!priorities.empty()) {
      log_.notice("removing %zu IPv%c rules the engine left behind", priorities.size(), family[1]);
    }
    // One deletion per rule listed: `ip rule del priority P` removes one rule
    // of that priority at a time.
    for (const int p : priorities) (void)ip({family, "rule", "del", "priority", std::to_string(p)});
    (void)ip({family, "route", "flush", "table", table});
  }
}

void MihomoManager::cleanupUtunRoutes(const std::string& name) {
  log_.notice("manual cleanup routes for %s", name.c_str());
  const std::vector<std::vector<std::string>> commands = {
      {"route", "del", "0.0.0.0/1", "dev", name},
      {"route", "del", "128.0.0.0/1", "dev", name},
      {"route", "del", "default", "dev", name},
      {"link", "set", "dev", name, "down"},
  };
  // Best effort: each command runs whatever the one before did.
  for (const auto& args : commands) (void)ip(args);
}

}  // namespace helper
