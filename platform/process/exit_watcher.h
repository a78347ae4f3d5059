// Calls a function the moment a process ends: one process at a time, woken
// by its pidfd on a thread of its own, so nobody has to poll for the end.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/base/mutex.h"

namespace helper {

class ExitWatcher {
 public:
  explicit ExitWatcher(const std::string& threadName);
  // Stops the thread; no callback starts after it returns, and one that is
  // running is waited for. Must not be called from the callback.
  ~ExitWatcher();
  ExitWatcher(const ExitWatcher&) = delete;
  ExitWatcher& operator=(const ExitWatcher&) = delete;

  // Watches the process of `pidfd` (duplicated here; the caller keeps its
  // own) instead of whatever was watched, and calls `onExit` on the
  // watcher's thread once it has ended. A negative pidfd only stops
  // watching.
  void watch(int pidfd, std::function<void()> onExit);
  void clear() { watch(-1, nullptr); }

 private:
  void run() EXCLUDES(mutex_);

  Mutex mutex_;
  CondVar changed_;
  int pidfd_ GUARDED_BY(mutex_) = -1;
  int wake_ = -1;  // eventfd: what is watched changed, or stopping
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::function<void()> onExit_ GUARDED_BY(mutex_);
  std::thread thread_;
};

}  // namespace helper
