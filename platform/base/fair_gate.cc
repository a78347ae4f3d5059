#include "platform/base/fair_gate.h"

#include <algorithm>

namespace helper {

bool FairGate::enter(std::uint32_t key, std::chrono::steady_clock::duration timeout) {
  MutexLock lock(mutex_);
  auto ticket = std::make_shared<Ticket>();
  auto& queue = waiting_[key];
  if (queue.empty()) turns_.push_back(key);
  queue.push_back(ticket);
  grant();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ticket->granted) {
    if (changed_.wait_until(lock.mutex(), deadline) == std::cv_status::timeout && !ticket->granted) break;
  }
  if (ticket->granted) return true;
  // Timed out: leave the queue (granted tickets are no longer in it).
  auto& mine = waiting_[key];
  mine.erase(std::find(mine.begin(), mine.end(), ticket));
  if (mine.empty()) {
    waiting_.erase(key);
    turns_.erase(std::find(turns_.begin(), turns_.end(), key));
  }
  return false;
}

void FairGate::leave() {
  MutexLock lock(mutex_);
  --holders_;
  grant();
}

void FairGate::grant() {
  bool any = false;
  while (holders_ < capacity_ && !turns_.empty()) {
    const std::uint32_t key = turns_.front();
    turns_.pop_front();
    auto& queue = waiting_[key];
    queue.front()->granted = true;
    queue.pop_front();
    ++holders_;
    any = true;
    if (queue.empty()) {
      waiting_.erase(key);
    } else {
      turns_.push_back(key);
    }
  }
  if (any) changed_.notify_all();
}

}  // namespace helper
