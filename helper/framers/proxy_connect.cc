#include "helper/framers/proxy_connect.h"

#include <algorithm>

#include "helper/framers/http_connect_framer.h"
#include "helper/framers/socks5_framer.h"

namespace helper {
namespace {

// The slot and what goes with it, guarded by `lock`. Created on first use
// and never destroyed.
struct HandOff {
  std::mutex lock;
  std::optional<ProxyConnectSetup> slot;
  std::optional<std::promise<void>> continuation;
  bool consumedEarly = false;
};

HandOff& handOff() {
  static HandOff* const instance = new HandOff;
  return *instance;
}

struct Taken {
  std::optional<ProxyConnectSetup> setup;
  std::optional<std::promise<void>> continuation;
};

// Empties the slot and the continuation under the lock. Consuming a setup
// nobody waits for marks it as taken early; withdrawing clears the mark.
Taken take(bool consuming) {
  HandOff& h = handOff();
  Taken taken;
  std::lock_guard lock(h.lock);
  if (h.slot) taken.setup.emplace(std::move(*h.slot));
  h.slot.reset();
  taken.continuation = std::move(h.continuation);
  h.continuation.reset();
  h.consumedEarly = consuming && (h.consumedEarly || (taken.setup && !taken.continuation));
  return taken;
}

}  // namespace

std::optional<ProxyConnectSetup> ProxyConnectCoordinator::consume() {
  Taken taken = take(true);
  // The publisher runs on only after the lock is released.
  if (taken.continuation) taken.continuation->set_value();
  return std::move(taken.setup);
}

void ProxyConnectCoordinator::publish(ProxyConnectSetup setup) {
  HandOff& h = handOff();
  std::lock_guard lock(h.lock);
  h.slot.emplace(std::move(setup));
  h.consumedEarly = false;
}

std::future<void> ProxyConnectCoordinator::awaitConsumption() {
  HandOff& h = handOff();
  std::promise<void> promise;
  auto future = promise.get_future();
  std::lock_guard lock(h.lock);
  if (h.consumedEarly) {
    h.consumedEarly = false;
    promise.set_value();
  } else {
    h.continuation = std::move(promise);
  }
  return future;
}

std::optional<ProxyConnectSetup> ProxyConnectCoordinator::withdraw() { return take(false).setup; }

ProxyConnectCoordinator::HandOffState ProxyConnectCoordinator::handOffState() {
  HandOff& h = handOff();
  std::lock_guard lock(h.lock);
  return {h.slot.has_value(), h.continuation.has_value(), h.consumedEarly};
}

ProxyConnectCoordinator& ProxyConnectCoordinator::shared() {
  static ProxyConnectCoordinator* const instance = new ProxyConnectCoordinator;
  return *instance;
}

std::optional<ProxyConnectCoordinator::Pass> ProxyConnectCoordinator::enter(
    Clock::time_point deadline) {
  auto waiter = std::make_shared<Waiter>();
  auto admitted = waiter->admitted.get_future();
  {
    std::lock_guard lock(mutex_);
    if (!inFlight_) {
      inFlight_ = true;
      return Pass(this);
    }
    waiters_.push_back(waiter);
  }
  if (admitted.wait_until(deadline) == std::future_status::ready) return Pass(this);
  std::lock_guard lock(mutex_);
  // The gate may have been handed over between the time-out and the lock:
  // then it is ours and must be passed on, not lost.
  if (waiter->handedGate) return Pass(this);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
  return std::nullopt;
}

void ProxyConnectCoordinator::leave() {
  std::shared_ptr<Waiter> next;
  {
    std::lock_guard lock(mutex_);
    if (waiters_.empty()) {
      inFlight_ = false;
      return;
    }
    next = std::move(waiters_.front());
    waiters_.pop_front();
    next->handedGate = true;  // inFlight_ stays true: the gate changes hands
  }
  next->admitted.set_value();
}

bool ProxyConnectCoordinator::inFlight() const {
  std::lock_guard lock(mutex_);
  return inFlight_;
}

size_t ProxyConnectCoordinator::waiting() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
}

void ProxyConnectCoordinator::Pass::release() {
  if (auto* coordinator = std::exchange(coordinator_, nullptr)) coordinator->leave();
}

Result<std::unique_ptr<stream::SocketStream>> openTunnel(UniqueFd connection, const ProxyConfig& proxy,
                                                         const ProxyTarget& target,
                                                         ProxyConnectCoordinator::Clock::time_point deadline) {
  std::unique_ptr<stream::SocketStream> tunnel;
  {
    // One setup in the slot at a time: publish, create the stream (whose
    // framer instance takes the setup), and let the next opener in.
    auto pass = ProxyConnectCoordinator::shared().enter(deadline);
    if (!pass) return Error::fromErrno("the hand-off to the framer did not open in time", ETIMEDOUT);
    ProxyConnectCoordinator::publish(ProxyConnectSetup{proxy, target});
    const auto& framer = proxy.kind == ProxyKind::http ? HTTPConnectFramer::definition() : SOCKS5Framer::definition();
    tunnel = std::make_unique<stream::SocketStream>(std::move(connection), framer);
    if (ProxyConnectCoordinator::awaitConsumption().wait_until(deadline) != std::future_status::ready) {
      ProxyConnectCoordinator::withdraw();
    }
  }
  if (Status ready = tunnel->handshake(deadline); !ready) return ready.error();
  return tunnel;
}

}  // namespace helper
