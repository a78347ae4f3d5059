#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/ipc/packet_socket.h"
#include "platform/paths/paths.h"

namespace helper::ipc {
namespace {

// poll() for `events` with a deadline in monotonic seconds (negative: none).
// Returns 1 when ready, 0 on time-out, -errno on failure.
int waitFor(int fd, short events, double deadline) {
  for (;;) {
    int timeoutMs = -1;
    if (deadline >= 0) {
      const double left = deadline - monotonicSeconds();
      if (left <= 0) return 0;
      timeoutMs = static_cast<int>(left * 1000) + 1;
    }
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, timeoutMs);
    if (rc > 0) return 1;
    if (rc == 0) {
      if (deadline < 0) continue;
      if (monotonicSeconds() >= deadline) return 0;
      continue;
    }
    if (errno != EINTR) return -errno;
  }
}

Status fillAddress(const std::string& path, sockaddr_un& address, socklen_t& length) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path)) {
    return Error{"socket path too long (" + std::to_string(path.size()) + " bytes): " + path, ENAMETOOLONG};
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return success();
}

}  // namespace

std::optional<Credentials> peerCredentials(int fd) {
  ucred cred{};
  socklen_t length = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof(cred)) {
    return std::nullopt;
  }
  return Credentials{cred.pid, cred.uid, cred.gid};
}

bool enableCredentialPassing(int fd) {
  const int on = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) == 0;
}

ReceivedPacket receivePacket(int fd, std::size_t maxSize, double timeoutSeconds) {
  ReceivedPacket out;
  // Without a time limit the receive itself waits; otherwise poll first.
  const bool wait = timeoutSeconds < 0;
  if (!wait) {
    const int ready = waitFor(fd, POLLIN, monotonicSeconds() + timeoutSeconds);
    if (ready == 0) {
      out.status = ReceivedPacket::Status::timeout;
      return out;
    }
    if (ready < 0) {
      out.status = ReceivedPacket::Status::error;
      out.error = -ready;
      return out;
    }
  }
  // One byte more than the limit tells an oversize packet apart without
  // reading all of it; MSG_TRUNC makes the kernel report its real length.
  // The buffer is kept per thread, so a receive neither allocates nor
  // clears 64 KiB.
  thread_local std::vector<char> buffer;
  if (buffer.size() < maxSize + 1) buffer.resize(maxSize + 1);
  iovec iov{buffer.data(), maxSize + 1};
  // Room for the credentials and for a few descriptors, which are closed.
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t n;
  do {
    n = ::recvmsg(fd, &msg, MSG_TRUNC | MSG_CMSG_CLOEXEC | (wait ? 0 : MSG_DONTWAIT));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Woken without data (another reader, or a spurious wake-up).
      out.status = ReceivedPacket::Status::timeout;
      return out;
    }
    out.status = errno == ECONNRESET ? ReceivedPacket::Status::closed : ReceivedPacket::Status::error;
    out.error = errno;
    return out;
  }
  bool hadFiles = (msg.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred cred{};
      std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      out.sender = Credentials{cred.pid, cred.uid, cred.gid};
    } else if (c->cmsg_type == SCM_RIGHTS) {
      hadFiles = true;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int passed = -1;
        std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        if (passed >= 0) ::close(passed);
      }
    }
  }
  // A zero-length read is the end of the connection, unless ancillary data
  // shows that it was an empty packet.
  if (n == 0 && msg.msg_controllen == 0) {
    out.status = ReceivedPacket::Status::closed;
    return out;
  }
  out.size = static_cast<std::size_t>(n);
  if (hadFiles) {
    out.status = ReceivedPacket::Status::withFiles;
    return out;
  }
  if (out.size > maxSize) {
    out.status = ReceivedPacket::Status::tooLarge;
    return out;
  }
  out.data.assign(buffer.data(), out.size);
  out.status = ReceivedPacket::Status::packet;
  return out;
}

Status sendPacket(int fd, std::string_view data, double timeoutSeconds) {
  const double deadline = timeoutSeconds < 0 ? -1 : monotonicSeconds() + timeoutSeconds;
  for (;;) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return success();
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Error::fromErrno("send");
    const int ready = waitFor(fd, POLLOUT, deadline);
    if (ready == 0) return Error::fromErrno("send", ETIMEDOUT);
    if (ready < 0) return Error::fromErrno("send", -ready);
  }
}

Result<UniqueFd> bindListeningSocket(const std::string& path) {
  sockaddr_un address;
  socklen_t length;
  if (Status s = fillAddress(path, address, length); !s) return s.error();

  std::error_code ec;
  std::filesystem::create_directories(paths::dirName(path), ec);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return Error{path + " exists and is not a socket; remove it by hand", EEXIST};
    }
    // A socket file: stale unless someone still accepts on it.
    UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.valid() &&
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return Error{"another instance is already listening on " + path, EADDRINUSE};
    }
    ::unlink(path.c_str());
  }

  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return Error::fromErrno("socket");
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    return Error::fromErrno("bind " + path);
  }
  // Everyone may connect; admission decides who is served.
  if (::chmod(path.c_str(), 0666) != 0) return Error::fromErrno("chmod " + path);
  if (::listen(fd.get(), SOMAXCONN) != 0) return Error::fromErrno("listen " + path);
  return fd;
}

namespace {

// systemd passes sockets from descriptor 3 on, LISTEN_FDS of them, and names
// the process meant in LISTEN_PID.
constexpr int kFirstActivatedFd = 3;

// A whole decimal number in [0, max], or -1.
long parseCount(const char* text, long max) {
  if (!text || *text < '0' || *text > '9') return -1;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return errno == 0 && *end == '\0' && value <= max ? value : -1;
}

bool isListeningSeqpacketUnixSocket(int fd) {
  int type = 0, listening = 0;
  socklen_t length = sizeof(type);
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_SEQPACKET) return false;
  length = sizeof(listening);
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) return false;
  sockaddr_storage address{};
  length = sizeof(address);
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         address.ss_family == AF_UNIX;
}

}  // namespace

Result<UniqueFd> socketFromActivation() {
  const long pid = parseCount(std::getenv("LISTEN_PID"), INT32_MAX);
  const long count = parseCount(std::getenv("LISTEN_FDS"), 1024);
  // Meant for this process or not, the variables are not passed on.
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  if (pid != ::getpid() || count <= 0) return UniqueFd();  // not socket-activated
  UniqueFd chosen;
  for (int fd = kFirstActivatedFd; fd < kFirstActivatedFd + count; ++fd) {
    if (!chosen.valid() && isListeningSeqpacketUnixSocket(fd)) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      chosen.reset(fd);
    } else {
      ::close(fd);  // nothing else of ours is socket-activated
    }
  }
  if (!chosen.valid()) {
    return Error{"systemd passed " + std::to_string(count) +
                 " descriptor(s), none a listening SOCK_SEQPACKET Unix socket", EBADF};
  }
  return chosen;
}

Result<UniqueFd> connectSocket(const std::string& path) {
  sockaddr_un address;
  socklen_t length;
  if (Status s = fillAddress(path, address, length); !s) return s.error();
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return Error::fromErrno("socket");
  // A full accept queue makes connect() wait; bound that wait.
  timeval tv{5, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int e = errno;
    switch (e) {
      case ENOENT:
        return Error{"the helper is not running (no socket at " + path + ")", e};
      case ECONNREFUSED:
        return Error{"the helper is not running (nobody listens on " + path + ")", e};
      case EAGAIN:
        return Error{"the helper is not accepting connections (its queue on " + path + " stayed full for 5 s)", e};
      case EACCES:
      case EPERM:
        return Error{"no permission to connect to " + path, e};
      default:
        return Error::fromErrno("cannot connect to " + path, e);
    }
  }
  timeval none{0, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
  return fd;
}

}  // namespace helper::ipc
