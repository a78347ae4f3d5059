// Lets at most `capacity` callers through at a time. Waiting callers are
// let through in turns by key (a user id): each key with waiters gets one
// turn per round, so one user with many waiters never keeps another user's
// single waiter behind all of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "platform/base/mutex.h"

namespace helper {

class FairGate {
 public:
  explicit FairGate(std::size_t capacity) : capacity_(capacity) {}

  // Waits for a turn for at most `timeout`; false when it did not come.
  bool enter(std::uint32_t key, std::chrono::steady_clock::duration timeout);
  void leave();

  // Passes through the gate for a scope.
  class Pass {
   public:
    Pass(FairGate& gate, std::uint32_t key, std::chrono::steady_clock::duration timeout)
        : gate_(gate), entered_(gate.enter(key, timeout)) {}
    ~Pass() {
      if (entered_) gate_.leave();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    bool entered() const { return entered_; }

   private:
    FairGate& gate_;
    bool entered_;
  };

 private:
  struct Ticket {
    bool granted = false;
  };
  void grant() REQUIRES(mutex_);

  const std::size_t capacity_;
  Mutex mutex_;
  CondVar changed_;
  std::size_t holders_ GUARDED_BY(mutex_) = 0;
  std::map<std::uint32_t, std::deque<std::shared_ptr<Ticket>>> waiting_ GUARDED_BY(mutex_);
  std::deque<std::uint32_t> turns_ GUARDED_BY(mutex_);  // keys with waiters, next turn first
};

}  // namespace helper
