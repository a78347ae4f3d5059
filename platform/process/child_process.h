// A child process launched by the service and watched through a pidfd, so
// that signals always reach the process we started, even after its pid has
// been reused by someone else.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/result.h"

namespace helper {

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  virtual pid_t pid() const = 0;
  // False once the process has ended; the first call that sees the end also
  // collects its status. Never blocks.
  virtual bool isRunning() = 0;
  // The exit code, or the number of the signal that ended the process. Only
  // meaningful once isRunning() has returned false.
  virtual int terminationStatus() const = 0;
  // Sends `signal` to the process; false when it has already ended.
  virtual bool sendSignal(int signal) = 0;
  // Blocks until the process has ended or `timeoutSeconds` have passed
  // (negative: no limit); true when it has ended.
  virtual bool waitForExit(double timeoutSeconds) = 0;
  // A pidfd naming the process, readable once it has ended; -1 when there
  // is none (test doubles).
  virtual int pidfd() const { return -1; }
};

struct SpawnRequest {
  SpawnRequest() = default;
  SpawnRequest(std::string program, std::vector<std::string> arguments, int out = -1, int err = -1)
      : path(std::move(program)), args(std::move(arguments)), stdoutFd(out), stderrFd(err) {}

  std::string path;                // absolute path, started directly: no shell, no PATH search
  std::vector<std::string> args;   // without the program name
  int stdoutFd = -1;               // -1: inherited
  int stderrFd = -1;               // -1: inherited
  // When not negative: the open file that is executed, in place of the file
  // at `path` (which stays the program name, argv[0]). The file checked is
  // then the file run, whatever happens to the path meanwhile.
  int executableFd = -1;
  // When set: the child keeps exactly these capabilities (numbers of
  // <linux/capability.h>), as ambient capabilities that survive the exec
  // of a file without capabilities of its own; everything else is dropped,
  // also from the bounding set, root's implicit capabilities are switched
  // off for good (securebits, locked), and no_new_privs is set. The caller
  // needs them and CAP_SETPCAP.
  std::optional<std::vector<int>> keepCapabilities;
};

// Starts the program. Standard input, environment and working directory are
// inherited; no other descriptor of ours reaches the child. When the program
// cannot be started, the error carries the errno of the step that failed in
// the child.
Result<std::unique_ptr<ChildProcess>> spawnChild(const SpawnRequest& request);

}  // namespace helper
