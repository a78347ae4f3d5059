// A child process launched by the service and watched through a pidfd, so
// that signals always reach the process we started, even after its pid has
// been reused by someone else.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

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
};

struct SpawnRequest {
  std::string path;                // absolute path, started directly: no shell, no PATH search
  std::vector<std::string> args;   // without the program name
  int stdoutFd = -1;               // -1: inherited
  int stderrFd = -1;               // -1: inherited
};

// Starts the program. Standard input, environment and working directory are
// inherited; no other descriptor of ours reaches the child. Throws
// std::system_error when the program cannot be started.
std::unique_ptr<ChildProcess> spawnChild(const SpawnRequest& request);

}  // namespace helper
