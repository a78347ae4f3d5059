// The process at the other end of a connection: its pid, and a pidfd that
// pins the process itself. A pid alone can be reused by an unrelated process
// as soon as the peer exits; the pidfd cannot, so everything read about the
// peer through its pid is trusted only while the pidfd shows it still runs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace helper {

class PeerProcess {
 public:
  // No process: pid 0, no pidfd.
  PeerProcess() = default;
  // Takes ownership of `pidfd`, which must refer to the process `pid` (the
  // socket layer gets both from SO_PEERCRED and SO_PEERPIDFD).
  PeerProcess(pid_t pid, int pidfd);
  ~PeerProcess();
  PeerProcess(PeerProcess&& other) noexcept;
  PeerProcess& operator=(PeerProcess&& other) noexcept;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // A pidfd for the process that has `pid` now (pidfd_open). Absent with
  // `error` set when there is none.
  static std::optional<PeerProcess> fromPid(pid_t pid, std::string* error = nullptr);
  // Takes ownership of `pidfd` and reads the pid it refers to. Absent when
  // the pidfd is not one or its process is gone.
  static std::optional<PeerProcess> fromPidfd(int pidfd, std::string* error = nullptr);

  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_; }
  bool valid() const { return pidfd_ >= 0 && pid_ > 0; }

  // True while the process has not exited. A pid that proved to name this
  // process before a check that follows it was still this process then.
  bool running() const;

 private:
  pid_t pid_ = 0;
  int pidfd_ = -1;
};

// The pid a pidfd refers to, from /proc/self/fdinfo: > 0 while the process
// exists, -1 once it was reaped, 0 when it is in a pid namespace we cannot
// see; absent when `pidfd` is not a pidfd.
std::optional<pid_t> pidOfPidfd(int pidfd);

// SO_PEERPIDFD for getsockopt on a Unix socket: Debian 12's headers do not
// define it; kernels since 6.5 support it.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

}  // namespace helper
