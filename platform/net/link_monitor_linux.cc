#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "platform/net/link_monitor.h"

namespace helper {
namespace {

class NetlinkLinkMonitor : public LinkMonitor {
 public:
  explicit NetlinkLinkMonitor(int fd) : fd_(fd) {}
  ~NetlinkLinkMonitor() override { close(fd_); }

  bool waitForLinkChange(double timeoutSeconds) override {
    pollfd pfd{fd_, POLLIN, 0};
    const int ms = timeoutSeconds <= 0 ? 0 : static_cast<int>(std::ceil(timeoutSeconds * 1000));
    int rc;
    do rc = poll(&pfd, 1, ms);
    while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    drain();
    return true;
  }

 private:
  // The announcements only say "look again"; their content is not needed,
  // and an overflowed queue (ENOBUFS) means the same.
  void drain() {
    char buf[16384];
    while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0 || errno == ENOBUFS) {
    }
  }

  int fd_;
};

}  // namespace

std::unique_ptr<LinkMonitor> openLinkMonitor() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return nullptr;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return nullptr;
  }
  return std::make_unique<NetlinkLinkMonitor>(fd);
}

}  // namespace helper
