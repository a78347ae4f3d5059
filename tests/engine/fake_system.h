// A System whose clock is virtual and whose processes, commands and
// interfaces are scripted, for the timing rules of the engine supervisor:
// sleeps advance the clock at once, so a 7-second stop takes microseconds.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <system_error>

#include "platform/system/system.h"

namespace helper::test {

class FakeSystem;

class FakeChild : public ChildProcess {
 public:
  FakeChild(FakeSystem& system, pid_t pid) : system_(system), pid_(pid) {}
  pid_t pid() const override { return pid_; }
  bool isRunning() override;
  int terminationStatus() const override { return status_; }
  bool sendSignal(int signal) override;
  bool waitForExit(double) override;

  bool exitsOnSigterm = true;
  bool survivesSigkill = false;
  double exitsAt = -1;  // virtual time of a spontaneous exit, with status 1

 private:
  FakeSystem& system_;
  pid_t pid_;
  bool ended_ = false;
  int status_ = 0;
};

// Announces a link at the virtual times in `announcements` (absolute).
class FakeLinkMonitor : public LinkMonitor {
 public:
  FakeLinkMonitor(double& now, std::vector<double> announcements) : now_(now), announcements_(std::move(announcements)) {}
  bool waitForLinkChange(double timeoutSeconds) override {
    for (double at : announcements_) {
      if (at > now_ - 1e-12 && at <= now_ + timeoutSeconds) {
        now_ = std::max(now_, at);
        announcements_.erase(std::find(announcements_.begin(), announcements_.end(), at));
        return true;
      }
    }
    now_ += timeoutSeconds;
    return false;
  }

 private:
  double& now_;
  std::vector<double> announcements_;
};

class FakeSystem : public System {
 public:
  // Link announcements relative to the launch; without any, there is no
  // subscription at all (as when the netlink socket cannot be opened).
  std::optional<std::vector<double>> linkAnnouncements;
  double now = 1000;
  std::vector<std::vector<std::string>> commands;  // program and arguments, in order
  std::map<std::string, std::string> commandOutput;  // by program path
  std::set<std::string> failingCommands;              // programs that cannot be started
  std::function<std::vector<std::string>(double elapsed)> interfaces = [](double) {
    return std::vector<std::string>{};
  };
  double startedAt = 1e18;  // the launch; before it, interfaces() sees a negative time
  std::map<pid_t, std::vector<int>> childSignals;
  std::vector<std::pair<pid_t, int>> killed;
  // Processes running the engine's file, as the sweep finds them; they end
  // `exitDelay` seconds after SIGKILL.
  std::vector<pid_t> engines;
  double exitDelay = 0;
  int spawnError = 0;  // errno for a failing spawn
  std::function<void(FakeChild&)> configureChild = [](FakeChild&) {};
  mode_t mask = 022;
  std::vector<std::string> fileOperations;

  std::unique_ptr<ChildProcess> spawn(const SpawnRequest& request) override {
    fileOperations.push_back("spawn " + request.path);
    if (spawnError) throw std::system_error(spawnError, std::generic_category(), request.path);
    auto child = std::make_unique<FakeChild>(*this, 4242);
    configureChild(*child);
    startedAt = now;
    return child;
  }
  std::string runCommand(const std::string& path, const std::vector<std::string>& args,
                         const std::optional<std::vector<int>>&) override {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    commands.push_back(argv);
    if (failingCommands.count(path)) throw std::system_error(ENOENT, std::generic_category(), path);
    return commandOutput[path];
  }
  std::vector<std::string> interfaceNames() override { return interfaces(now - startedAt); }
  std::unique_ptr<LinkMonitor> openLinkMonitor() override {
    if (!linkAnnouncements) return nullptr;
    // Relative to the launch, which comes right after the subscription.
    std::vector<double> absolute;
    for (double at : *linkAnnouncements) absolute.push_back(now + at);
    return std::make_unique<FakeLinkMonitor>(now, absolute);
  }
  std::vector<PeerProcess> processesRunning(const std::vector<FileIdentity>& images) override {
    std::vector<PeerProcess> out;
    if (!images.empty()) {
      for (pid_t pid : engines) out.emplace_back(pid, UniqueFd());
    }
    return out;
  }
  // The engine is busy for this long after its launch.
  double busyFor = 0;
  bool processQuiet(pid_t) override { return now - startedAt >= busyFor; }
  int signalProcess(const PeerProcess& process, int signal) override {
    killed.emplace_back(process.pid(), signal);
    return 0;
  }
  void waitForExits(const std::vector<PeerProcess>&, double timeoutSeconds) override {
    now += std::min(exitDelay, timeoutSeconds);
  }
  bool isExecutableFile(const std::string&) override { return true; }
  std::optional<FileIdentity> fileIdentity(const std::string&) override { return FileIdentity{}; }
  void createDirectories(const std::string& path) override { fileOperations.push_back("mkdir " + path); }
  void writeFileAtomically(const std::string& path, const std::string&, mode_t mode) override {
    fileOperations.push_back("write " + path + " " + std::to_string(mode));
  }
  int openForAppend(const std::string& path, mode_t) override {
    fileOperations.push_back("open " + path);
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  }
  mode_t setFileCreationMask(mode_t m) override {
    const mode_t previous = mask;
    mask = m;
    return previous;
  }
  double monotonicNow() override { return now; }
  void sleepFor(double seconds) override { now += seconds; }
};

inline bool FakeChild::isRunning() {
  if (!ended_ && exitsAt >= 0 && system_.now >= exitsAt) {
    ended_ = true;
    status_ = 1;
  }
  return !ended_;
}

inline bool FakeChild::sendSignal(int signal) {
  system_.childSignals[pid_].push_back(signal);
  if (ended_) return false;
  if ((signal == SIGTERM && exitsOnSigterm) || (signal == SIGKILL && !survivesSigkill)) {
    ended_ = true;
    status_ = signal;
  }
  return true;
}

// Advances the virtual clock to the exit, or by the whole timeout.
inline bool FakeChild::waitForExit(double timeoutSeconds) {
  if (!isRunning()) return true;
  if (timeoutSeconds < 0) return false;
  const double until = system_.now + timeoutSeconds;
  if (exitsAt >= 0 && exitsAt <= until) {
    system_.now = std::max(system_.now, exitsAt);
    return !isRunning();
  }
  system_.now = until;
  return false;
}

}  // namespace helper::test
