// The hand-off of a proxy handshake's setup to the framer that performs it.
//
// A driver creates framer instances itself and gives them nothing but the
// stream, so the proxy credentials and the target travel through one
// process-wide slot: whatever opens a stream through the upstream publishes
// a ProxyConnectSetup, then creates the stream, whose new framer instance
// takes the setup with consume(). Since there is one slot, a gate lets one
// publication through at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "helper/config/proxy_config.h"
#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/stream/socket_stream.h"

namespace helper {

// Where the tunnel is to lead. The host goes to the proxy as text.
struct ProxyTarget {
  std::string host;
  uint16_t port = 0;

  bool operator==(const ProxyTarget&) const = default;
};

// Everything a proxy framer needs. The framers read only the credentials of
// `proxy`; choosing the framer for `proxy.kind` and connecting to the proxy
// are the opener's business.
struct ProxyConnectSetup {
  const ProxyConfig proxy;
  const ProxyTarget target;
};

// Neither copied nor moved (its passes point to it).
class ProxyConnectCoordinator {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes the published setup out of the slot, or absent when there is
  // none. Called once by every proxy framer instance when it is created.
  // Resumes a publisher waiting in awaitConsumption() (outside the lock),
  // whether or not a setup was there; when a setup was there and nobody
  // waited, marks it as consumed early.
  static std::optional<ProxyConnectSetup> consume();

  // ---- the publishing side; only the holder of a Pass publishes ----

  // Puts `setup` in the slot (replacing any) and clears the early mark.
  static void publish(ProxyConnectSetup setup);
  // Resolves when a framer has taken the setup. Ready at once when it was
  // taken before this call (the early mark, which this clears); otherwise
  // the continuation is stored for consume() to resume.
  static std::future<void> awaitConsumption();
  // Takes back a setup no framer took and forgets the continuation and the
  // early mark; for an opener that gives up before creating its stream.
  static std::optional<ProxyConnectSetup> withdraw();

  struct HandOffState {
    bool hasSetup;
    bool hasContinuation;
    bool consumedEarly;
    bool operator==(const HandOffState&) const = default;
  };
  static HandOffState handOffState();

  // ---- the gate ----

  // Holds the gate until destroyed (or release()); then the gate passes to
  // the longest waiting caller, or opens.
  class Pass {
   public:
    Pass(Pass&& other) noexcept : coordinator_(std::exchange(other.coordinator_, nullptr)) {}
    Pass& operator=(Pass&&) = delete;
    ~Pass() { release(); }
    void release();

   private:
    friend class ProxyConnectCoordinator;
    explicit Pass(ProxyConnectCoordinator* coordinator) : coordinator_(coordinator) {}
    ProxyConnectCoordinator* coordinator_;
  };

  // The coordinator every opener in the process goes through. Never
  // destroyed, so that an opener still running at exit finds it.
  static ProxyConnectCoordinator& shared();

  // Waits until the gate is free, first come first served; absent when the
  // deadline passes first (the caller is then no longer waiting).
  std::optional<Pass> enter(Clock::time_point deadline);

  bool inFlight() const;
  size_t waiting() const;

 private:
  struct Waiter {
    std::promise<void> admitted;
    bool handedGate = false;
  };
  void leave();

  mutable std::mutex mutex_;  // the coordinator's own serial context
  bool inFlight_ = false;
  std::deque<std::shared_ptr<Waiter>> waiters_;
};

// Opens a tunnel to `target` through the proxy at the other end of
// `connection`: enters the shared coordinator's gate, publishes the setup,
// creates the stream with the framer for `proxy.kind` (which takes the
// setup), waits for the hand-off, leaves the gate and runs the handshake.
// The deadline covers all of it. Errors are the stream's (see
// SocketStream), and ETIMEDOUT when the gate did not open in time.
Result<std::unique_ptr<stream::SocketStream>> openTunnel(UniqueFd connection, const ProxyConfig& proxy,
                                                         const ProxyTarget& target,
                                                         std::chrono::steady_clock::time_point deadline);

}  // namespace helper
