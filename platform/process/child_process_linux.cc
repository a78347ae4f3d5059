#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <linux/securebits.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include <cerrno>
#include <cmath>
#include <mutex>
#include <vector>

#include "platform/process/pidfd.h"

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

  int pidfd() const override { return pidfd_; }

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

// The child side of spawnChild, between clone and exec. It runs in a copy of
// a multi-threaded process, so it makes system calls only: no allocation,
// no locks. A failure is reported as its errno on `report` and ends the child.
struct ChildPlan {
  const char* path;
  char* const* argv;
  char* const* envp;
  int stdoutFd, stderrFd, executableFd;
  const int* keep;  // capabilities to keep, or null
  size_t keepCount;
  int report;       // write end of the error pipe (close-on-exec)
};

[[noreturn]] void failChild(int report, int error) {
  while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

int restrictCapabilities(const int* keep, size_t count) {
  std::uint64_t kept = 0;
  for (size_t i = 0; i < count; ++i) kept |= std::uint64_t{1} << keep[i];
  // With CAP_SETPCAP still effective: root gets no implicit capabilities
  // at exec any more, and that cannot be undone.
  if (::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                     SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED,
              0, 0, 0) != 0) {
    return errno;
  }
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
    if ((kept & (std::uint64_t{1} << cap)) == 0 && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) {
      return errno;
    }
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  for (int i = 0; i < 2; ++i) {
    const auto word = static_cast<std::uint32_t>(kept >> (32 * i));
    data[i].effective = data[i].permitted = data[i].inheritable = word;
  }
  if (::syscall(SYS_capset, &header, data) != 0) return errno;
  for (size_t i = 0; i < count; ++i) {
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, keep[i], 0, 0) != 0) return errno;
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  return 0;
}

[[noreturn]] void runChild(const ChildPlan& plan) {
  if (plan.stdoutFd >= 0 && ::dup2(plan.stdoutFd, STDOUT_FILENO) < 0) failChild(plan.report, errno);
  if (plan.stderrFd >= 0 && ::dup2(plan.stderrFd, STDERR_FILENO) < 0) failChild(plan.report, errno);
  // Nothing of ours (control socket, log descriptors) reaches the program:
  // every descriptor above standard error closes at the exec, which keeps
  // the error pipe and the executable's descriptor open until then.
  if (::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC) != 0) failChild(plan.report, errno);
  if (plan.keep != nullptr) {
    if (const int error = restrictCapabilities(plan.keep, plan.keepCount); error != 0) failChild(plan.report, error);
  }
  if (plan.executableFd >= 0) {
    ::syscall(SYS_execveat, plan.executableFd, "", plan.argv, plan.envp, AT_EMPTY_PATH);
  } else {
    ::execve(plan.path, plan.argv, plan.envp);
  }
  failChild(plan.report, errno);
}

}  // namespace

Result<std::unique_ptr<ChildProcess>> spawnChild(const SpawnRequest& request) {
  // Everything the child needs is built here: it must not allocate.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(request.path.c_str()));
  for (const auto& arg : request.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Error::fromErrno("pipe");
  const ChildPlan plan{request.path.c_str(), argv.data(), environ, request.stdoutFd, request.stderrFd,
                       request.executableFd,
                       request.keepCapabilities ? request.keepCapabilities->data() : nullptr,
                       request.keepCapabilities ? request.keepCapabilities->size() : 0, pipeFds[1]};

  // A fork that hands back a pidfd for the child, so the child is named by
  // a descriptor from its first instant; the parent waits (vfork-style)
  // until the child has exec'd or failed.
  int pidfd = -1;
  clone_args args{};
  args.flags = CLONE_PIDFD | CLONE_VFORK;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  args.exit_signal = SIGCHLD;
  long pid = ::syscall(SYS_clone3, &args, sizeof args);
  if (pid < 0 && errno == ENOSYS) {
    // A seccomp filter cannot look into clone3's argument structure, so
    // sandboxes that restrict namespaces (systemd's RestrictNamespaces=)
    // answer it with ENOSYS; clone() takes the same flags as an argument.
    pid = ::syscall(SYS_clone, CLONE_PIDFD | CLONE_VFORK | SIGCHLD, nullptr, &pidfd, nullptr, nullptr);
  }
  if (pid == 0) runChild(plan);
  const int cloneError = errno;
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return Error::fromErrno("cannot start " + request.path + ": clone3", cloneError);
  }
  int childError = 0;
  ssize_t n;
  do n = ::read(pipeFds[0], &childError, sizeof childError);
  while (n < 0 && errno == EINTR);
  ::close(pipeFds[0]);
  if (n == static_cast<ssize_t>(sizeof childError)) {
    siginfo_t info{};
    ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED);
    ::close(pidfd);
    return Error::fromErrno("cannot start " + request.path, childError);
  }
  return std::unique_ptr<ChildProcess>(std::make_unique<LinuxChildProcess>(static_cast<pid_t>(pid), pidfd));
}

}  // namespace helper
