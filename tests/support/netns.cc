#include "tests/support/netns.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace helper::test {
namespace {
bool entered = false;
}

std::string enterPrivateNetworkNamespace() {
  if (entered) return "";
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &ifr) == 0 &&
                  (ifr.ifr_flags |= IFF_UP, ioctl(sock, SIOCSIFFLAGS, &ifr) == 0);
  if (sock >= 0) close(sock);
  if (!up) return std::string("cannot bring loopback up: ") + std::strerror(errno);
  entered = true;
  return "";
}

bool inPrivateNetworkNamespace() { return entered; }

}  // namespace helper::test
