// The service's one way into the operating system: processes, programs,
// network interfaces, files, clocks, the log and the process's exit. Every
// call the service makes to the system goes through os(), so a test can
// stand between the two.
//
// Os itself is the real system: every method does the real thing. A test
// derives from it, overrides only the calls it fakes or fails, and
// installs its object with OsScope; the rest still reaches the system.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/file_identity.h"
#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/codesign/image.h"
#include "platform/net/link_monitor.h"
#include "platform/process/child_process.h"
#include "platform/process/peer_process.h"

namespace helper {

// The unified log's levels with their syslog priorities. `notice` is the
// level the unified log calls "default".
enum class LogLevel { info = 6, notice = 5, error = 3, fault = 2 };

const char* logLevelName(LogLevel level);

struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string message;
};

// The datagram of one journald entry (its native protocol): MESSAGE,
// PRIORITY, SYSLOG_IDENTIFIER=helper, SUBSYSTEM and CATEGORY.
std::string journalEntry(const LogRecord& record);

class Os {
 public:
  virtual ~Os() = default;

  // Processes.
  // Starts the program (child_process.h says how).
  virtual Result<std::unique_ptr<ChildProcess>> spawn(const SpawnRequest& request);
  // Runs a program to its end with standard output and standard error on
  // one pipe, read while it runs; its bytes. With `keepCapabilities`, it
  // runs with exactly those (as SpawnRequest::keepCapabilities says).
  virtual Result<std::string> runCommand(const std::string& path, const std::vector<std::string>& args,
                                         const std::optional<std::vector<int>>& keepCapabilities);
  // The running processes (this one aside) whose executable is one of the
  // files `images` (same device and inode), each pinned by a pidfd, so that
  // a signal reaches that process or none, never one that took its pid.
  virtual std::vector<PeerProcess> processesRunning(const std::vector<FileIdentity>& images);
  // True when no thread of process `pid` is running or waiting for a CPU:
  // the process has settled.
  virtual bool processQuiet(pid_t pid);
  // Sends `signal` through the process's pidfd.
  virtual Status signal(const PeerProcess& process, int signal);
  // Returns once each of them has ended, or `timeoutSeconds` have passed.
  virtual void waitForExits(const std::vector<PeerProcess>& processes, double timeoutSeconds);
  // Ends this process at once (_exit).
  virtual void exit(int status);

  // Network interfaces of this network namespace.
  // Their names; empty when they cannot be listed.
  virtual std::vector<std::string> interfaceNames();
  // A subscription to link announcements; null when there is none.
  virtual std::unique_ptr<LinkMonitor> openLinkMonitor();

  // Files.
  // The running executable's path as it was at start (self_exe.h).
  virtual std::string ownExecutablePath();
  // The running executable, open for reading (/proc/self/exe).
  virtual Result<UniqueFd> openOwnImage();
  // A file only root can change, opened for checking and running it
  // (image.h).
  virtual Result<codesign::RootImage> openRootImage(const std::string& path);
  // A regular file the caller may execute.
  virtual bool isExecutableFile(const std::string& path);
  // stat(2) of `path`, following symbolic links.
  virtual Result<FileIdentity> fileIdentity(const std::string& path);
  // Like `mkdir -p`; an existing directory is success.
  virtual Status createDirectories(const std::string& path);
  // Writes a temporary file in the same directory, gives it `mode` and
  // renames it over `path`, so readers see the old or the new content,
  // never a part, and never with another mode. On failure the old file
  // stays intact.
  virtual Status writeFileAtomically(const std::string& path, const std::string& content, mode_t mode);
  // open(2) with O_WRONLY|O_APPEND|O_CREAT|O_CLOEXEC|O_NOFOLLOW.
  virtual Result<UniqueFd> openForAppend(const std::string& path, mode_t mode);
  // umask(2): sets the mask and returns the previous one.
  virtual mode_t setFileCreationMask(mode_t mask);

  // Clocks.
  // Seconds on the monotonic clock; it does not advance while the machine
  // sleeps.
  virtual double monotonicNow();
  // Seconds since 1970-01-01 00:00 UTC.
  virtual double wallNow();
  virtual void sleepFor(double seconds);

  // The log: journald when its socket is there and no HELPER_ROOT sandbox
  // is set, a line on standard error otherwise.
  virtual void log(const LogRecord& record);
};

// The Os every call goes through: the real one, or the one a test
// installed.
Os& os();

// Installs `replacement` as os() until the scope ends, then restores the
// one before. Tests only, with no other thread of the service running at
// either end.
class OsScope {
 public:
  explicit OsScope(Os& replacement);
  ~OsScope();
  OsScope(const OsScope&) = delete;
  OsScope& operator=(const OsScope&) = delete;

 private:
  Os* previous_;
};

}  // namespace helper
