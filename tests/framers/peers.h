// Real peers for the framers' interoperability tests: proxy servers from
// Debian started on free loopback ports and ended by the ids the tests
// started, an echo server and a server that says one fixed thing.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"

namespace helper::test {

// A loopback port nobody listens on right now.
uint16_t freePort();

// A server process started by a test. Ended on destruction: SIGTERM, a
// short grace, then SIGKILL, always by its own pid.
class ServerProcess {
 public:
  ServerProcess(pid_t pid, uint16_t port, std::string logPath)
      : pid_(pid), port_(port), logPath_(std::move(logPath)) {}
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits until the port accepts connections; false (and the log) when the
  // process died or did not listen in time.
  bool waitUntilListening(double seconds = 10);

 private:
  pid_t pid_;
  uint16_t port_;
  std::string logPath_;
  bool reaped_ = false;
};

// Why the server cannot be started here, or empty.
std::string missingProgram(const std::string& path, const std::string& package);

std::unique_ptr<ServerProcess> startMicrosocks(const TempDir& dir, std::optional<std::string> user = {},
                                               std::optional<std::string> password = {});
std::unique_ptr<ServerProcess> startTinyproxy(const TempDir& dir, std::optional<std::string> user = {},
                                              std::optional<std::string> password = {});

// squid with Basic authentication against an htpasswd file (its
// basic_ncsa_auth helper). squid drops root for the "proxy" account, so the
// test folder must be readable by it.
std::unique_ptr<ServerProcess> startSquid(const TempDir& dir, const std::string& user,
                                          const std::string& password);

// danted with the username method. It checks system accounts, so it runs
// in a private mount namespace where temporary passwd and shadow files with
// the test account are bind-mounted over /etc/passwd and /etc/shadow, and
// in a private PID namespace, so that ending its first process ends all of
// its children. The machine's own accounts are never touched. Needs root.
std::string danteUnavailable();
std::unique_ptr<ServerProcess> startDante(const TempDir& dir, const std::string& user,
                                          const std::string& password);

// A server on a loopback port that serves each accepted connection on a
// thread of its own with `serve(fd, stopping)`; `serve` closes the socket
// and should return soon after `stopping` is set.
class LoopbackServer {
 public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;
  explicit LoopbackServer(Serve serve);
  ~LoopbackServer();
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

// Echoes every connection's bytes back until the client closes.
class EchoServer : public LoopbackServer {
 public:
  EchoServer();
};

// Sends `reply` to every connection as soon as it is accepted, then reads
// and ignores until the client closes.
class FixedReplyServer : public LoopbackServer {
 public:
  explicit FixedReplyServer(std::string reply);
};

}  // namespace helper::test
