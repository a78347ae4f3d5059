// The operating-system calls of the engine supervisor behind one interface:
// processes, commands, network interfaces, files and the clock. Production
// uses realSystem(); tests use it too, or wrap it to fail a single call.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/file_identity.h"
#include "platform/net/link_monitor.h"
#include "platform/process/child_process.h"
#include "platform/process/peer_process.h"

namespace helper {

class System {
 public:
  virtual ~System() = default;

  // Throws std::system_error when the program cannot be started.
  virtual std::unique_ptr<ChildProcess> spawn(const SpawnRequest& request) = 0;
  // Runs a program to its end with standard output and standard error on
  // one pipe and returns the bytes, read while it runs. With
  // `keepCapabilities`, the program runs with exactly those (as
  // SpawnRequest::keepCapabilities says). Throws std::system_error when the
  // program cannot be started.
  virtual std::string runCommand(const std::string& path, const std::vector<std::string>& args,
                                 const std::optional<std::vector<int>>& keepCapabilities) = 0;
  // Names of all network interfaces of this network namespace; empty when
  // they cannot be listed.
  virtual std::vector<std::string> interfaceNames() = 0;
  // A subscription to link announcements; null when there is none, and
  // waits then sleep out their interval.
  virtual std::unique_ptr<LinkMonitor> openLinkMonitor() { return nullptr; }
  // The running processes whose executable is one of the files `images`
  // (same device and inode), each pinned by a pidfd, so that a signal
  // reaches that process or none, never one that took its pid.
  virtual std::vector<PeerProcess> processesRunning(const std::vector<FileIdentity>& images) = 0;
  // True when no thread of process `pid` is running or waiting for a CPU
  // (every one sleeping or stopped): the process has settled.
  virtual bool processQuiet(pid_t pid) = 0;
  // Sends `signal` through the process's pidfd; 0 or an errno value.
  virtual int signalProcess(const PeerProcess& process, int signal) = 0;
  // Returns once each of them has ended, or `timeoutSeconds` have passed.
  virtual void waitForExits(const std::vector<PeerProcess>& processes, double timeoutSeconds) = 0;

  // A regular file the caller may execute.
  virtual bool isExecutableFile(const std::string& path) = 0;
  // stat(2) of `path`, following symbolic links; absent when that fails.
  virtual std::optional<FileIdentity> fileIdentity(const std::string& path) = 0;
  // Like `mkdir -p`; an existing directory is success. Throws
  // std::filesystem::filesystem_error.
  virtual void createDirectories(const std::string& path) = 0;
  // Writes a temporary file in the same directory, gives it `mode` and
  // renames it over `path`, so readers see the old or the new content,
  // never a part, and never with another mode. Throws std::system_error;
  // the old file stays intact on failure.
  virtual void writeFileAtomically(const std::string& path, const std::string& content, mode_t mode) = 0;
  // open(2) with O_WRONLY|O_APPEND|O_CREAT|O_CLOEXEC|O_NOFOLLOW; a
  // descriptor, or -errno.
  virtual int openForAppend(const std::string& path, mode_t mode) = 0;
  // umask(2): sets the mask and returns the previous one.
  virtual mode_t setFileCreationMask(mode_t mask) = 0;

  // Monotonic seconds; does not advance while the machine sleeps.
  virtual double monotonicNow() = 0;
  virtual void sleepFor(double seconds) = 0;
};

System& realSystem();

}  // namespace helper
