#include "platform/process/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

namespace helper {

PeerProcess::PeerProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}

PeerProcess::~PeerProcess() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

PeerProcess::PeerProcess(PeerProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, 0)), pidfd_(std::exchange(other.pidfd_, -1)) {}

PeerProcess& PeerProcess::operator=(PeerProcess&& other) noexcept {
  if (this != &other) {
    if (pidfd_ >= 0) ::close(pidfd_);
    pid_ = std::exchange(other.pid_, 0);
    pidfd_ = std::exchange(other.pidfd_, -1);
  }
  return *this;
}

std::optional<PeerProcess> PeerProcess::fromPid(pid_t pid, std::string* error) {
  if (pid <= 0) {
    if (error) *error = "not a process id: " + std::to_string(pid);
    return std::nullopt;
  }
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) {
    if (error) *error = "pidfd_open(" + std::to_string(pid) + "): " + std::strerror(errno);
    return std::nullopt;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);  // pidfd_open sets it; made explicit
  return PeerProcess(pid, fd);
}

std::optional<PeerProcess> PeerProcess::fromPidfd(int pidfd, std::string* error) {
  const std::optional<pid_t> pid = pidOfPidfd(pidfd);
  if (!pid || *pid <= 0) {
    if (pidfd >= 0) ::close(pidfd);
    if (error) *error = !pid ? "not a pidfd" : "the process is gone or not visible here";
    return std::nullopt;
  }
  return PeerProcess(*pid, pidfd);
}

bool PeerProcess::running() const {
  if (pidfd_ < 0) return false;
  // A pidfd becomes readable when its process exits (zombies included).
  pollfd p{pidfd_, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc == 0;
}

std::optional<pid_t> pidOfPidfd(int pidfd) {
  if (pidfd < 0) return std::nullopt;
  std::ifstream info("/proc/self/fdinfo/" + std::to_string(pidfd));
  std::string line;
  while (std::getline(info, line)) {
    // Only pidfds have a "Pid:" line; "NSpid:" follows it.
    if (line.rfind("Pid:", 0) == 0) {
      long value = 0;
      if (std::sscanf(line.c_str() + 4, "%ld", &value) != 1) return std::nullopt;
      return static_cast<pid_t>(value);
    }
  }
  return std::nullopt;
}

}  // namespace helper
