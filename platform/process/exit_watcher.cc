#include "platform/process/exit_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace helper {

ExitWatcher::ExitWatcher(const std::string& threadName) : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this] { run(); });
  pthread_setname_np(thread_.native_handle(), threadName.substr(0, 15).c_str());
}

ExitWatcher::~ExitWatcher() {
  {
    MutexLock guard(mutex_);
    stopping_ = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  changed_.notify_all();
  thread_.join();
  if (pidfd_ >= 0) ::close(pidfd_);
  if (wake_ >= 0) ::close(wake_);
}

void ExitWatcher::watch(int pidfd, std::function<void()> onExit) {
  const int copy = pidfd >= 0 ? ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0) : -1;
  {
    MutexLock guard(mutex_);
    if (pidfd_ >= 0) ::close(pidfd_);
    pidfd_ = copy;
    onExit_ = copy >= 0 ? std::move(onExit) : nullptr;
  }
  // Wakes a poll on the previous descriptor, which is closed now.
  const std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  changed_.notify_all();
}

void ExitWatcher::run() {
  MutexLock lock(mutex_);
  for (;;) {
    while (!stopping_ && pidfd_ < 0) changed_.wait(lock.mutex());
    if (stopping_) return;
    // Polled without the lock; a descriptor closed by watch() meanwhile is
    // reported as invalid or readable, and the wake-up tells which.
    const int watched = ::fcntl(pidfd_, F_DUPFD_CLOEXEC, 0);
    lock.unlock();
    pollfd fds[2] = {{watched, POLLIN, 0}, {wake_, POLLIN, 0}};
    int rc;
    do rc = ::poll(fds, 2, -1);
    while (rc < 0 && errno == EINTR);
    std::uint64_t drained;
    while (::read(wake_, &drained, sizeof drained) > 0) {
    }
    ::close(watched);
    lock.lock();
    if (stopping_) return;
    // Only an end of the process still watched counts.
    if (rc > 0 && (fds[0].revents & POLLIN) != 0 && (fds[1].revents & POLLIN) == 0 && pidfd_ >= 0) {
      std::function<void()> onExit = std::move(onExit_);
      ::close(pidfd_);
      pidfd_ = -1;
      onExit_ = nullptr;
      lock.unlock();
      if (onExit) onExit();
      lock.lock();
    }
  }
}

}  // namespace helper
