// pidfd_send_signal. Debian 12's <sys/pidfd.h> declares it without C
// linkage, so C++ code cannot link against it; this calls the kernel
// directly.
#pragma once

#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace helper {

// Sends `signal` to the process named by `pidfd`; 0, or -1 with errno set
// (ESRCH once it has ended).
inline int pidfdSendSignal(int pidfd, int signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

}  // namespace helper
