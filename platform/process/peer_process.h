// The process at the other end of a connection: its pid, and a pidfd that
// pins the process itself. A pid alone can be reused by an unrelated process
// as soon as the peer exits; the pidfd cannot, so everything read about the
// peer through its pid is trusted only while the pidfd shows it still runs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"

namespace helper {

// What /proc tells of a process now.
struct ProcessState {
  uid_t realUid = 0, effectiveUid = 0;
  gid_t realGid = 0, effectiveGid = 0;
  std::vector<gid_t> groups;  // supplementary groups
  pid_t tracer = 0;           // 0: not traced
  // Its /proc files belong to its own user, so that user's other processes
  // may trace it and write its memory. A process that was started
  // set-group-ID is not dumpable unless it asked to be.
  bool dumpable = true;
  // In the pid and the user namespace of this process (the helper's):
  // otherwise the credentials it sends may name processes it made up.
  bool inOurNamespaces = false;
};

class PeerProcess {
 public:
  // No process: pid 0, no pidfd.
  PeerProcess() = default;
  // `pidfd` must refer to the process `pid` (the socket layer gets both
  // from SO_PEERCRED and SO_PEERPIDFD), whose effective user and group were
  // `uid` and `gid` when it connected.
  PeerProcess(pid_t pid, UniqueFd pidfd, uid_t uid = static_cast<uid_t>(-1), gid_t gid = static_cast<gid_t>(-1))
      : pid_(pid), pidfd_(std::move(pidfd)), uid_(uid), gid_(gid) {}

  // A pidfd for the process that has `pid` now (pidfd_open), which
  // connected as `uid` and `gid`.
  static Result<PeerProcess> fromPid(pid_t pid, uid_t uid = static_cast<uid_t>(-1),
                                     gid_t gid = static_cast<gid_t>(-1));

  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  // The effective user and group it had when it connected (SO_PEERCRED);
  // -1 when unknown.
  uid_t connectedUid() const { return uid_; }
  gid_t connectedGid() const { return gid_; }
  bool valid() const { return pidfd_.valid() && pid_ > 0; }

  // True while the process has not exited. A pid that proved to name this
  // process before a check that follows it was still this process then.
  bool running() const;

  // The process's state from /proc; the caller checks running() after it
  // to know the pid still named this process.
  Result<ProcessState> readState() const;

 private:
  pid_t pid_ = 0;
  UniqueFd pidfd_;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
};

// SO_PEERPIDFD for getsockopt on a Unix socket: Debian 12's headers do not
// define it; kernels since 6.5 support it.
#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

}  // namespace helper
