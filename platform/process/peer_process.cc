#include "platform/process/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace helper {

Result<PeerProcess> PeerProcess::fromPid(pid_t pid, uid_t uid, gid_t gid) {
  if (pid <= 0) return Error{"not a process id: " + std::to_string(pid)};
  UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));  // close-on-exec
  if (!fd.valid()) return Error::fromErrno("pidfd_open(" + std::to_string(pid) + ")");
  return PeerProcess(pid, std::move(fd), uid, gid);
}

bool PeerProcess::running() const {
  if (!pidfd_.valid()) return false;
  // A pidfd becomes readable when its process exits (zombies included).
  pollfd p{pidfd_.get(), POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

namespace {

// The namespace a /proc/.../ns/ link names, as device and inode.
std::optional<std::pair<dev_t, ino_t>> namespaceOf(const std::string& link) {
  struct ::stat st {};
  if (::stat(link.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(st.st_dev, st.st_ino);
}

bool sameNamespace(pid_t pid, const char* kind) {
  static const auto ownPid = namespaceOf("/proc/self/ns/pid");
  static const auto ownUser = namespaceOf("/proc/self/ns/user");
  const auto& own = std::string(kind) == "pid" ? ownPid : ownUser;
  const auto theirs = namespaceOf("/proc/" + std::to_string(pid) + "/ns/" + kind);
  return own && theirs && *own == *theirs;
}

}  // namespace

Result<ProcessState> PeerProcess::readState() const {
  const std::string dir = "/proc/" + std::to_string(pid_);
  std::ifstream in(dir + "/status");
  if (!in) return Error::fromErrno("cannot read " + dir + "/status");
  ProcessState state;
  int seen = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line.substr(line.find(':') == std::string::npos ? line.size() : line.find(':') + 1));
    if (line.rfind("Uid:", 0) == 0) {
      seen |= (fields >> state.realUid >> state.effectiveUid) ? 1 : 0;
    } else if (line.rfind("Gid:", 0) == 0) {
      seen |= (fields >> state.realGid >> state.effectiveGid) ? 2 : 0;
    } else if (line.rfind("Groups:", 0) == 0) {
      for (gid_t g; fields >> g;) state.groups.push_back(g);
    } else if (line.rfind("TracerPid:", 0) == 0) {
      seen |= (fields >> state.tracer) ? 4 : 0;
    }
  }
  if (seen != 7) return Error{"cannot read the credentials in " + dir + "/status"};
  // The kernel gives a process's /proc files to root while it is not
  // dumpable.
  struct ::stat mem {};
  if (::lstat((dir + "/mem").c_str(), &mem) != 0) return Error::fromErrno("cannot stat " + dir + "/mem");
  state.dumpable = mem.st_uid != 0 || state.effectiveUid == 0;
  state.inOurNamespaces = sameNamespace(pid_, "pid") && sameNamespace(pid_, "user");
  return state;
}

}  // namespace helper
