// A System whose clock is virtual and whose processes, commands and
// interfaces are scripted, for the timing rules of the engine supervisor:
// sleeps advance the clock at once, so a 7-second stop takes microseconds.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <map>
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

class FakeSystem : public System {
 public:
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
  int spawnError = 0;  // errno for a failing spawn
  std::function<void(FakeChild&)> configureChild = [](FakeChild&) {};
  FakeChild* lastChild = nullptr;
  mode_t mask = 022;
  std::vector<std::string> fileOperations;

  std::unique_ptr<ChildProcess> spawn(const SpawnRequest& request) override {
    fileOperations.push_back("spawn " + request.path);
    if (spawnError) throw std::system_error(spawnError, std::generic_category(), request.path);
    auto child = std::make_unique<FakeChild>(*this, 4242);
    configureChild(*child);
    lastChild = child.get();
    startedAt = now;
    return child;
  }
  std::string runCommand(const std::string& path, const std::vector<std::string>& args) override {
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    commands.push_back(argv);
    if (failingCommands.count(path)) throw std::system_error(ENOENT, std::generic_category(), path);
    return commandOutput[path];
  }
  std::vector<std::string> interfaceNames() override { return interfaces(now - startedAt); }
  int sendSignal(pid_t pid, int signal) override {
    killed.emplace_back(pid, signal);
    return 0;
  }
  bool isExecutableFile(const std::string&) override { return true; }
  void createDirectories(const std::string& path) override { fileOperations.push_back("mkdir " + path); }
  void writeFileAtomically(const std::string& path, const std::string&) override {
    fileOperations.push_back("write " + path);
  }
  int changeMode(const std::string& path, mode_t) override {
    fileOperations.push_back("chmod " + path);
    return 0;
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

inline bool FakeChild::waitForExit(double) { return !isRunning(); }

}  // namespace helper::test
