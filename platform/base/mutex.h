// A mutex that clang's thread-safety analysis (-Wthread-safety, on in the
// clang builds) understands: members marked GUARDED_BY(m) may be touched
// only with m held, functions marked REQUIRES(m) only be called with it
// held, and the compiler checks both. std::mutex carries no such
// annotations in libstdc++, hence this thin wrapper.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace helper {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  std::mutex m_;
};

// Holds a Mutex for a scope; may be released and taken again within it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) m_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  void unlock() RELEASE() {
    m_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    m_.lock();
    held_ = true;
  }
  // For condition variables.
  Mutex& mutex() { return m_; }

 private:
  Mutex& m_;
  bool held_ = true;
};

// Waits on a Mutex held through a MutexLock.
using CondVar = std::condition_variable_any;

}  // namespace helper
