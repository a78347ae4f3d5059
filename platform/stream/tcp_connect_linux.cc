#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "platform/stream/tcp_connect.h"

namespace helper::stream {
namespace {

using Clock = std::chrono::steady_clock;

// Connects one socket to `address`; returns 0 or an errno value.
int connectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(ms, 60'000)));
    if (ready < 0 && errno != EINTR) return errno;
    if (ready <= 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
  }
}

}  // namespace

ConnectResult connectTcp(const std::string& host, uint16_t port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (gai != 0) return {-1, {StreamStage::resolve, gai}};
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int lastError = ENETUNREACH;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    if (Clock::now() >= deadline) return {-1, {StreamStage::timeout, ETIMEDOUT}};
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastError = errno;
      continue;
    }
    const int error = connectOne(fd, *a, deadline);
    if (error == 0) {
      const int flags = fcntl(fd, F_GETFL);
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return {fd, {}};
    }
    ::close(fd);
    if (error == ETIMEDOUT && Clock::now() >= deadline) return {-1, {StreamStage::timeout, ETIMEDOUT}};
    lastError = error;
  }
  return {-1, {StreamStage::connect, lastError}};
}

}  // namespace helper::stream
