#include "helper/engine/mihomo_manager.h"

#include <linux/capability.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <system_error>

#include "helper/codesign/engine_signature.h"
#include "helper/config/engine_config.h"
#include "helper/engine/engine_paths.h"
#include "helper/engine/mihomo_error.h"
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

class FileCreationMask {
 public:
  FileCreationMask(System& system, mode_t mask) : system_(system), previous_(system.setFileCreationMask(mask)) {}
  ~FileCreationMask() { system_.setFileCreationMask(previous_); }
  FileCreationMask(const FileCreationMask&) = delete;
  FileCreationMask& operator=(const FileCreationMask&) = delete;

 private:
  System& system_;
  mode_t previous_;
};

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

MihomoManager::MihomoManager() : MihomoManager(Options{}) {}

MihomoManager::MihomoManager(Options options)
    : log_(kLogSubsystem, "Mihomo"),
      options_(std::move(options)),
      system_(options_.system ? *options_.system : realSystem()) {
  if (!options_.checkSignature) options_.checkSignature = validateMihomoSignature;
}

std::string MihomoManager::enginePath() const {
  return options_.enginePath.empty() ? mihomoPath() : options_.enginePath;
}

bool MihomoManager::isEngineRunning() const { return process_ && process_->isRunning(); }

std::string MihomoManager::runShellSync(const std::string& path, const std::vector<std::string>& args) {
  std::string bytes = realSystem().runCommand(path, args, std::nullopt);
  return utf8::isValid(bytes) ? bytes : std::string();
}

std::set<std::string> MihomoManager::listUtunInterfaces() {
  return utunNames(realSystem().interfaceNames());
}

std::string MihomoManager::firstFreeUtun(const std::set<std::string>& present) {
  for (unsigned n = 0;; ++n) {
    std::string name = "utun" + std::to_string(n);
    if (!present.count(name)) return name;
  }
}

std::string MihomoManager::ip(const std::vector<std::string>& args) {
  // Changing routes, rules and links takes CAP_NET_ADMIN and nothing else;
  // asked for explicitly, so that ip has it whoever the helper runs as
  // (an exec by a non-root helper passes on no capability by itself).
  std::string bytes = system_.runCommand(kIp, args, std::vector<int>{CAP_NET_ADMIN});
  return utf8::isValid(bytes) ? bytes : std::string();
}

std::set<std::string> MihomoManager::utunInterfaces() { return utunNames(system_.interfaceNames()); }

void MihomoManager::start(const ProxyConfig& upstream) {
  if (isEngineRunning()) {
    log_.notice("start() called but mihomo already running");
    return;
  }
  const std::string engine = enginePath();
  if (!system_.isExecutableFile(engine)) throw MihomoError::binaryMissing(engine);
  const codesign::RootImage image = options_.checkSignature(engine);

  const std::string dataDir = paths::rooted(kEngineDataDir);
  const std::string configPath = paths::rooted(kEngineConfigPath);
  const std::string logPath = paths::rooted(kEngineLogPath);
  system_.createDirectories(dataDir);
  system_.createDirectories(paths::rooted(kLogDir));

  // Subscribed before the snapshot, so that a device created after it is
  // announced to the wait below. The snapshot comes before the
  // configuration, which names the device: the first utunN not taken, so a
  // leftover or foreign "utun" device never blocks the start.
  const std::unique_ptr<LinkMonitor> links = system_.openLinkMonitor();
  const std::set<std::string> snapshot = utunInterfaces();
  const std::string config = makeConfig(upstream, firstFreeUtun(snapshot));

  // The engine runs under this mask too, so whatever it creates is
  // accessible to its owner only. Restored on every way out.
  FileCreationMask mask(system_, 077);
  system_.writeFileAtomically(configPath, config, 0600);

  const int fd = system_.openForAppend(logPath, 0600);
  if (fd < 0) throw MihomoError::startFailed(std::string("cannot open log file: ") + std::strerror(-fd));
  {
    ScopedFd logFd(fd);
    try {
      SpawnRequest request;
      request.path = engine;
      request.args = {"-d", dataDir, "-f", configPath};
      request.stdoutFd = request.stderrFd = logFd.get();
      // The file checked is the file run, and it runs with only what a TUN
      // device and routing need.
      request.executableFd = image.fd.get();
      request.keepCapabilities = std::vector<int>{CAP_NET_ADMIN, CAP_NET_RAW, CAP_NET_BIND_SERVICE};
      process_ = system_.spawn(request);
      launchedImage_ = image.identity;
    } catch (const std::system_error& e) {
      throw MihomoError::startFailed(std::string("Process.run() failed: ") + std::strerror(e.code().value()));
    }
  }
  log_.notice("mihomo started, PID %d", process_->pid());
  waitForTun(snapshot, links.get());
}

void MihomoManager::waitForTun(const std::set<std::string>& snapshot, LinkMonitor* links) {
  const MihomoTimings& t = options_.timings;
  const double started = system_.monotonicNow();
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
  bool timedOut = !(system_.monotonicNow() < deadline);
  while (!timedOut) {
    if (!process_->isRunning()) throw prematureExit();
    current = utunInterfaces();
    for (const auto& name : current) {
      if (!snapshot.count(name)) {
        log_.notice("mihomo created TUN device %s", name.c_str());
        // Quiet at two looks in a row: a moment between two bursts of work
        // does not count.
        const double settled = system_.monotonicNow() + t.settleLimit;
        for (int quiet = 0; quiet < 2 && system_.monotonicNow() < settled - 1e-9;) {
          if (process_->waitForExit(t.settleCheck)) throw prematureExit();
          quiet = system_.processQuiet(process_->pid()) ? quiet + 1 : 0;
        }
        capturedUtun_ = name;
        return;
      }
    }
    const double now = system_.monotonicNow();
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
      system_.sleepFor(t.tunPollInterval);
    }
    timedOut = !(system_.monotonicNow() < deadline);
  }

  current = utunInterfaces();
  log_.error("mihomo started but TUN not created within %lds — killing. utuns present: %s",
             static_cast<long>(t.tunWaitLimit), joined(current, ",").c_str());
  process_->sendSignal(SIGKILL);
  process_->waitForExit(-1);
  process_.reset();
  throw MihomoError::tunNotCreated(std::vector<std::string>(current.begin(), current.end()));
}

void MihomoManager::stop() {
  if (!process_) {
    sweepOrphanUtuns();
    return;
  }
  const MihomoTimings& t = options_.timings;
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
  if (!killed.empty()) system_.waitForExits(killed, options_.timings.sweepPause);
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
  if (const auto current = system_.fileIdentity(enginePath())) images.push_back(*current);
  if (launchedImage_) images.push_back(*launchedImage_);
  std::vector<PeerProcess> killed;
  for (PeerProcess& engine : system_.processesRunning(images)) {
    if (process_ && engine.pid() == process_->pid()) continue;
    log_.notice("found orphan mihomo PID %d, sending SIGKILL", engine.pid());
    (void)system_.signalProcess(engine, SIGKILL);
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
    std::string listing;
    try {
      listing = ip({"-j", family, "rule", "show"});
    } catch (const std::system_error&) {
      continue;
    }
    std::vector<int> priorities;
    const nlohmann::json rules = nlohmann::json::parse(listing, nullptr, false);
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
    for (const int p : priorities) {
      try {
        (void)ip({family, "rule", "del", "priority", std::to_string(p)});
      } catch (const std::system_error&) {
      }
    }
    try {
      (void)ip({family, "route", "flush", "table", table});
    } catch (const std::system_error&) {
    }
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
  for (const auto& args : commands) {
    try {
      (void)ip(args);
    } catch (const std::system_error&) {
      // Best effort: the next command runs regardless.
    }
  }
}

}  // namespace helper
