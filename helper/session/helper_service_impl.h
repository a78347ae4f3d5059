// The session service: the one object every accepted control connection
// talks to. It holds at most one live session (a running engine and the
// token that owns it), ends a session whose heartbeats stop, and ends the
// process when its executable was replaced on disk and nobody needs it.
//
// One non-recursive lock guards the session, the watchdog timer, the
// stale-image flags and every use of the engine supervisor after
// construction. It is held across engine starts and stops, so every
// operation but ping may wait for up to a start's limit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "helper/engine/mihomo_manager.h"
#include "helper/protocol/helper_protocol.h"
#include "platform/base/mutex.h"
#include "platform/log/logger.h"
#include "platform/process/exit_watcher.h"

namespace helper {

class HelperServiceImpl final : public HelperProtocol {
 public:
  // The service's own failures, in the domain kErrorDomain. Clients act on
  // the numbers, so they never change (docs/protocol.md).
  static constexpr const char* kErrorDomain = "helper.SessionError";
  enum class ErrorCase {
    invalidProxyURL = 1,
    tokenMismatch = 2,
    notTheOwner = 3,
    clientGone = 4,
    unexpectedStartError = 5,  // an engine start failed with an error of no other domain
  };
  // A file-system error of an engine start; its code is the errno.
  static constexpr const char* kPOSIXErrorDomain = "helper.POSIXError";

  // Production uses the defaults; tests shorten the times.
  struct Options {
    MihomoTimings engine;
    // A session whose last heartbeat is older than this ends.
    double heartbeatTimeout = 30;
    // Watchdog ticks, on the monotonic clock.
    double watchdogInterval = 5;
    // From scheduling the stale-image exit to the exit (os().exit(0), on the
    // service's timer thread, with the session already torn down and
    // without the lock).
    double exitDelay = 0.5;
    // An engine that dies during a session is restarted at most this many
    // times within this many seconds; one more death ends the session.
    int engineRestartLimit = 3;
    double engineRestartWindow = 60;
  };

  // The process-wide service, created on first use (which sweeps orphaned
  // engines) and never destroyed. Safe against concurrent first use.
  static HelperServiceImpl& shared();

  HelperServiceImpl();
  explicit HelperServiceImpl(const Options& options);
  // Stops the watchdog and the engine; for tests (shared() lives on).
  ~HelperServiceImpl() override;
  HelperServiceImpl(const HelperServiceImpl&) = delete;
  HelperServiceImpl& operator=(const HelperServiceImpl&) = delete;

  void ping(PingReply reply) override;
  void activate(const Caller& caller, const std::string& proxyURL, std::int32_t clientPID,
                ActivateReply reply) override;
  void deactivate(const Caller& caller, const std::string& sessionToken, DeactivateReply reply) override;
  void heartbeat(const std::string& sessionToken, HeartbeatReply reply) override;
  void status(StatusReply reply) override;

  // The stale-image check after a refused connection whose executable
  // changed on disk: takes the lock, marks the image stale and exits the
  // process if nobody needs it.
  void markStaleImage() EXCLUDES(lock_);
  // The same, later, on the service's timer thread: the caller (admission)
  // never waits for the lock. Requests made while one is pending are one.
  void markStaleImageSoon();

 private:
  struct ActiveSession {
    std::string token;
    std::string proxyHost;
    std::int32_t clientPID = 0;
    double activatedAt = 0;      // wall clock
    double lastHeartbeatAt = 0;  // wall clock
    // The user whose client created the session: only they or root may
    // replace or end it.
    uid_t owner = 0;
    // What the engine was started with, for a restart after it died.
    ProxyConfig upstream;
    // Monotonic times of the engine restarts within the restart window.
    std::deque<double> restarts;
  };

  // The caller holds lock_ for these two.
  void startWatchdog() REQUIRES(lock_);  // replaces an armed watchdog
  void exitForStaleImageIfIdle() REQUIRES(lock_);
  // Takes lock_ itself; on the watchdog queue.
  void checkHeartbeat() EXCLUDES(lock_);
  void cancelWatchdog() REQUIRES(lock_);
  double now() const;
  // lock_ held: the engine is stopped and nothing watches it any more.
  void stopEngine() REQUIRES(lock_);
  // lock_ held, after a successful start: the engine's end is noticed at once.
  void watchEngine() REQUIRES(lock_);
  // On the exit watcher's thread; takes lock_.
  void engineExited(std::uint64_t generation) EXCLUDES(lock_);
  // lock_ held, when a session has ended: an executable replaced on disk
  // meanwhile counts as detected, then the stale-image exit is considered.
  void sessionEnded() REQUIRES(lock_);

  Options options_;
  Logger log_;
  Mutex lock_;
  std::optional<ActiveSession> session_ GUARDED_BY(lock_);
  MihomoManager mihomo_ GUARDED_BY(lock_);
  const double heartbeatTimeout_;
  bool staleImageDetected_ GUARDED_BY(lock_) = false;
  bool exitScheduled_ GUARDED_BY(lock_) = false;
  // Counts engine launches watched, so that the end of an engine that was
  // already replaced or stopped is ignored.
  std::uint64_t engineGeneration_ GUARDED_BY(lock_) = 0;
  // The timer thread: watchdog ticks on the monotonic clock (first one
  // interval after startWatchdog(), then every interval; ticks that fall
  // due while one runs are merged), the delayed exit, and pending
  // stale-image checks. Its own mutex guards only these fields; it calls
  // into the service without holding it.
  void runTimers() EXCLUDES(lock_, timerMutex_);
  // Taken after lock_ (startWatchdog() runs under it), never the other way.
  Mutex timerMutex_ ACQUIRED_AFTER(lock_);
  CondVar timerChanged_;
  std::optional<std::chrono::steady_clock::time_point> nextTick_ GUARDED_BY(timerMutex_);  // armed watchdog
  std::optional<std::chrono::steady_clock::time_point> exitAt_ GUARDED_BY(timerMutex_);
  bool staleCheckPending_ GUARDED_BY(timerMutex_) = false;
  bool timersStopping_ GUARDED_BY(timerMutex_) = false;

  // Last, so they go first: their threads are stopped before anything a
  // tick or an exit callback uses is destroyed.
  std::thread timers_;
  ExitWatcher engineWatcher_;
};

}  // namespace helper
