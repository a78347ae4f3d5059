// Stand-ins for the operating system, installed with OsScope.
//
// LoggingOs: the real system, with the log kept in memory and the exit
// recorded, not made.
// FakeOs: a scripted system with a virtual clock for the engine supervisor
// and the session service. Sleeps and waits advance the clock at once (a
// 7-second stop takes microseconds); programs, interfaces, processes, files
// and the exit are what the test says, and recorded. The engine check is
// real: the engine's file is the signed stand-in engine of the build, and
// the test program is signed with the same team.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/os/os.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper::test {

class LoggingOs : public Os {
 public:
  void log(const LogRecord& record) override {
    std::lock_guard<std::mutex> guard(logMutex_);
    records_.push_back(record);
  }
  // The messages of one category (all categories when empty), in order.
  std::vector<std::string> messages(const std::string& category = "") const {
    std::lock_guard<std::mutex> guard(logMutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) {
      if (category.empty() || r.category == category) out.push_back(r.message);
    }
    return out;
  }
  std::vector<LogRecord> records() const {
    std::lock_guard<std::mutex> guard(logMutex_);
    return records_;
  }
  void clearLog() {
    std::lock_guard<std::mutex> guard(logMutex_);
    records_.clear();
  }
  // A test process does not end when the service would: the status is kept.
  void exit(int status) override {
    std::lock_guard<std::mutex> guard(logMutex_);
    exits_.push_back(status);
  }
  std::vector<int> exitsSoFar() const {
    std::lock_guard<std::mutex> guard(logMutex_);
    return exits_;
  }

 private:
  mutable std::mutex logMutex_;
  std::vector<LogRecord> records_;
  std::vector<int> exits_;
};

class FakeOs;

// A process of the fake system. Its pidfd is an eventfd that becomes
// readable when it ends, as a real pidfd does.
class FakeChild : public ChildProcess {
 public:
  FakeChild(FakeOs& os, pid_t pid) : os_(os), pid_(pid), exitFd_(::eventfd(0, EFD_CLOEXEC)) {}
  ~FakeChild() override;
  pid_t pid() const override { return pid_; }
  bool isRunning() override;
  int terminationStatus() const override { return status_; }
  bool sendSignal(int signal) override;
  bool waitForExit(double timeoutSeconds) override;
  int pidfd() const override { return exitFd_.get(); }
  // Ends it now with `status`, as the engine dying on its own.
  void end(int status);

  bool exitsOnSigterm = true;
  bool survivesSigkill = false;
  double exitsAt = -1;  // virtual time of a spontaneous exit, with status 1

 private:
  FakeOs& os_;
  pid_t pid_;
  UniqueFd exitFd_;
  bool ended_ = false;
  int status_ = 0;
};

// Announces a link at the virtual times in `announcements` (absolute).
class FakeLinkMonitor : public LinkMonitor {
 public:
  FakeLinkMonitor(std::atomic<double>& now, std::vector<double> announcements)
      : now_(now), announcements_(std::move(announcements)) {}
  bool waitForLinkChange(double timeoutSeconds) override {
    for (double at : announcements_) {
      if (at > now_ - 1e-12 && at <= now_ + timeoutSeconds) {
        now_ = std::max(now_.load(), at);
        announcements_.erase(std::find(announcements_.begin(), announcements_.end(), at));
        return true;
      }
    }
    now_ = now_ + timeoutSeconds;
    return false;
  }

 private:
  std::atomic<double>& now_;
  std::vector<double> announcements_;
};

class FakeOs : public LoggingOs {
 public:
  // The helper's own file; the engine is beside it.
  static constexpr const char* kOwnPath = "/opt/test/helper";
  static constexpr const char* kEnginePath = "/opt/test/tarn.CorvalethApp.mihomo";

  // Link announcements relative to the launch; without any, there is no
  // subscription at all (as when the netlink socket cannot be opened).
  std::optional<std::vector<double>> linkAnnouncements;
  std::atomic<double> now{1000};
  std::atomic<double> wall{1'700'000'000.0};
  std::vector<std::vector<std::string>> commands;     // program and arguments, in order
  std::map<std::string, std::string> commandOutput;   // by program path
  std::set<std::string> failingCommands;               // programs that cannot be started
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
  std::optional<Error> engineRefused;  // the engine file is not one only root can change
  bool engineMissing = false;          // the engine file is not an executable file
  std::function<void(FakeChild&)> configureChild = [](FakeChild&) {};
  // Guards the children's state and lastChild: the service's threads and
  // the test's use them at once.
  std::recursive_mutex children;
  FakeChild* lastChild = nullptr;  // the last one spawned while it exists (owned by the caller)
  // The last one spawned when it still runs: its pid, else 0.
  pid_t runningChild() {
    std::lock_guard<std::recursive_mutex> guard(children);
    return lastChild != nullptr && lastChild->isRunning() ? lastChild->pid() : 0;
  }
  // Ends the last one spawned, as if it died with `status`.
  void endChild(int status) {
    std::lock_guard<std::recursive_mutex> guard(children);
    if (lastChild != nullptr) lastChild->end(status);
  }
  pid_t nextPid = 4242;
  // The engine is busy for this long after its launch.
  double busyFor = 0;
  mode_t mask = 022;
  std::vector<std::string> fileOperations;
  std::map<std::string, Error> failingFiles;  // by path: its directory, write or open fails

  Result<std::unique_ptr<ChildProcess>> spawn(const SpawnRequest& request) override {
    fileOperations.push_back("spawn " + request.path + " " + std::to_string(mask));
    if (spawnError) return Error::fromErrno("cannot start " + request.path, spawnError);
    std::lock_guard<std::recursive_mutex> guard(children);
    auto child = std::make_unique<FakeChild>(*this, nextPid);
    configureChild(*child);
    lastChild = child.get();
    startedAt = now;
    return std::unique_ptr<ChildProcess>(std::move(child));
  }
  Result<std::string> runCommand(const std::string& path, const std::vector<std::string>& args,
                                 const std::optional<std::vector<int>>&) override {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    commands.push_back(argv);
    if (failingCommands.count(path)) return Error::fromErrno("cannot start " + path, ENOENT);
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
  bool processQuiet(pid_t) override { return now - startedAt >= busyFor; }
  Status signal(const PeerProcess& process, int signal) override {
    killed.emplace_back(process.pid(), signal);
    return success();
  }
  void waitForExits(const std::vector<PeerProcess>&, double timeoutSeconds) override {
    now = now + std::min(exitDelay, timeoutSeconds);
  }

  std::string ownExecutablePath() override { return kOwnPath; }
  Result<codesign::RootImage> openRootImage(const std::string& path) override {
    if (engineRefused) return *engineRefused;
    // The signed stand-in engine, whatever the path.
    codesign::RootImage image;
    const std::string engine = builtProgram("tests/engine/test_engine");
    image.fd.reset(::open(engine.c_str(), O_RDONLY | O_CLOEXEC));
    if (!image.fd.valid()) return Error::fromErrno("cannot open the stand-in engine " + engine);
    image.path = path;
    return image;
  }
  bool isExecutableFile(const std::string&) override { return !engineMissing; }
  Result<FileIdentity> fileIdentity(const std::string&) override { return FileIdentity{}; }
  Status createDirectories(const std::string& path) override {
    fileOperations.push_back("mkdir " + path);
    return failure(path);
  }
  Status writeFileAtomically(const std::string& path, const std::string&, mode_t mode) override {
    fileOperations.push_back("write " + path + " " + std::to_string(mode));
    return failure(path);
  }
  Result<UniqueFd> openForAppend(const std::string& path, mode_t) override {
    fileOperations.push_back("open " + path);
    if (Status s = failure(path); !s) return s.error();
    return UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  }
  mode_t setFileCreationMask(mode_t m) override {
    const mode_t previous = mask;
    mask = m;
    return previous;
  }
  double monotonicNow() override { return now; }
  double wallNow() override { return wall; }
  void sleepFor(double seconds) override { now = now + seconds; }

 private:
  Status failure(const std::string& path) {
    const auto found = failingFiles.find(path);
    if (found == failingFiles.end()) return success();
    return found->second;
  }
};

inline FakeChild::~FakeChild() {
  std::lock_guard<std::recursive_mutex> guard(os_.children);
  if (os_.lastChild == this) os_.lastChild = nullptr;
}

inline bool FakeChild::isRunning() {
  std::lock_guard<std::recursive_mutex> guard(os_.children);
  if (!ended_ && exitsAt >= 0 && os_.now >= exitsAt) end(1);
  return !ended_;
}

inline void FakeChild::end(int status) {
  std::lock_guard<std::recursive_mutex> guard(os_.children);
  if (ended_) return;
  ended_ = true;
  status_ = status;
  const std::uint64_t one = 1;
  (void)!::write(exitFd_.get(), &one, sizeof one);
}

inline bool FakeChild::sendSignal(int signal) {
  std::lock_guard<std::recursive_mutex> guard(os_.children);
  os_.childSignals[pid_].push_back(signal);
  if (ended_) return false;
  if ((signal == SIGTERM && exitsOnSigterm) || (signal == SIGKILL && !survivesSigkill)) end(signal);
  return true;
}

// Advances the virtual clock to the exit, or by the whole timeout.
inline bool FakeChild::waitForExit(double timeoutSeconds) {
  if (!isRunning()) return true;
  if (timeoutSeconds < 0) return false;
  const double until = os_.now + timeoutSeconds;
  if (exitsAt >= 0 && exitsAt <= until) {
    os_.now = std::max(os_.now.load(), exitsAt);
    return !isRunning();
  }
  os_.now = until;
  return false;
}

}  // namespace helper::test
