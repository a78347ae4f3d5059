#include "helper/framers/connection_state.h"

namespace helper {

std::future<ConnectOutcome> ConnectionStateBox::outcome() {
  std::promise<ConnectOutcome> promise;
  auto future = promise.get_future();
  std::lock_guard lock(lock_);
  if (pending_) {
    resolved_ = true;
    promise.set_value(std::move(*pending_));
    pending_.reset();
  } else {
    continuation_ = std::move(promise);
  }
  return future;
}

bool ConnectionStateBox::resolve(ConnectOutcome outcome) {
  std::optional<std::promise<ConnectOutcome>> continuation;
  {
    std::lock_guard lock(lock_);
    if (resolved_ || pending_) return false;  // `outcome` is dropped here
    if (!continuation_) {
      pending_ = std::move(outcome);
      return true;
    }
    continuation = std::move(continuation_);
    continuation_.reset();
    resolved_ = true;
  }
  continuation->set_value(std::move(outcome));
  return true;
}

bool AtomicFlag::set() {
  std::lock_guard lock(lock_);
  if (done_) return false;
  done_ = true;
  return true;
}

bool AtomicFlag::isSet() const {
  std::lock_guard lock(lock_);
  return done_;
}

}  // namespace helper
