#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include "platform/process/pidfd.h"
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/process/child_process.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace helper {
namespace {

// Children whose handle was dropped before they ended. They are collected
// whenever a later child handle is made or dropped, so an engine that was
// abandoned in an uninterruptible sleep does not stay a zombie for good.
class AbandonedChildren {
 public:
  void add(int pidfd) {
    std::lock_guard<std::mutex> guard(mutex_);
    pidfds_.push_back(pidfd);
  }
  void reap() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = pidfds_.begin(); it != pidfds_.end();) {
      siginfo_t info{};
      if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(*it), &info, WEXITED | WNOHANG) == 0 &&
          info.si_pid == 0) {
        ++it;  // still running
        continue;
      }
      close(*it);
      it = pidfds_.erase(it);
    }
  }

 private:
  std::mutex mutex_;
  std::vector<int> pidfds_;
};

AbandonedChildren& abandoned() {
  static AbandonedChildren* instance = new AbandonedChildren;  // used from destructors at exit
  return *instance;
}

class LinuxChildProcess : public ChildProcess {
 public:
  LinuxChildProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

  ~LinuxChildProcess() override {
    if (!ended_ && !collect(false)) {
      abandoned().add(pidfd_);
    } else {
      close(pidfd_);
    }
    abandoned().reap();
  }

  pid_t pid() const override { return pid_; }

  bool isRunning() override { return !ended_ && !collect(false); }

  int terminationStatus() const override { return status_; }

  bool sendSignal(int signal) override {
    if (ended_) return false;
    return pidfdSendSignal(pidfd_, signal) == 0;
  }

  bool waitForExit(double timeoutSeconds) override {
    if (ended_) return true;
    if (timeoutSeconds < 0) return collect(true);
    pollfd pfd{pidfd_, POLLIN, 0};
    const int ms = static_cast<int>(std::ceil(timeoutSeconds * 1000));
    int rc;
    do rc = poll(&pfd, 1, ms);
    while (rc < 0 && errno == EINTR);
    return rc > 0 ? collect(true) : collect(false);
  }

 private:
  // Collects the exit status; true when the process has ended.
  bool collect(bool block) {
    siginfo_t info{};
    int rc;
    do rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED | (block ? 0 : WNOHANG));
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
      // Someone else collected it (ECHILD): it has ended, status unknown.
      ended_ = true;
      status_ = -1;
      return true;
    }
    if (info.si_pid == 0) return false;
    ended_ = true;
    status_ = info.si_status;  // exit code, or the signal number when killed
    return true;
  }

  pid_t pid_;
  int pidfd_;
  bool ended_ = false;
  int status_ = 0;
};

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::unique_ptr<ChildProcess> spawnChild(const SpawnRequest& request) {
  FileActions actions;
  if (request.stdoutFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), request.stdoutFd, STDOUT_FILENO);
  if (request.stderrFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), request.stderrFd, STDERR_FILENO);
  // Nothing of ours (control socket, log descriptors) leaks into the child.
  posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.path.c_str()));
  for (const auto& arg : request.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, request.path.c_str(), actions.get(), nullptr, argv.data(), environ);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), request.path);
  // The child is ours and not yet collected, so its pid cannot have been
  // reused: the pidfd names it for certain.
  const int pidfd = pidfdOpen(pid);
  if (pidfd < 0) {
    const int err = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::system_error(err, std::generic_category(), "pidfd_open");
  }
  return std::make_unique<LinuxChildProcess>(pid, pidfd);
}

}  // namespace helper
