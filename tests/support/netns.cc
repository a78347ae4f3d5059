#include "tests/support/netns.h"

#include <sched.h>

#include <cerrno>
#include <cstring>

#include "tests/support/run_command.h"

namespace helper::test {
namespace {
bool entered = false;
}

std::string enterPrivateNetworkNamespace() {
  if (entered) return "";
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  const CommandResult up = runCommand({"/usr/sbin/ip", "link", "set", "lo", "up"});
  if (up.exitStatus != 0) return "cannot bring loopback up: " + up.err;
  entered = true;
  return "";
}

bool inPrivateNetworkNamespace() { return entered; }

}  // namespace helper::test
