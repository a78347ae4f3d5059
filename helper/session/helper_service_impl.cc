#include "helper/session/helper_service_impl.h"

#include <chrono>
#include <climits>
#include <cmath>

#include "helper/codesign/code_sign_validator.h"
#include "helper/config/proxy_config.h"
#include "helper/protocol/mihomo_error.h"
#include "helper/protocol/helper_constants.h"
#include "platform/random/random.h"

namespace helper {
namespace {

// The user-facing text of an unusable proxy URL. There is no translation
// catalogue on this platform, so the text is its own translation.
constexpr const char* kInvalidProxyURLMessage = "Невалидный proxy URL";
constexpr const char* kTokenMismatchMessage = "session token mismatch";
constexpr const char* kNotTheOwnerMessage =
    "the live session belongs to another user; only that user or root can replace or end it";
constexpr const char* kClientGoneMessage = "the client went away before the tunnel was up";

using ErrorCase = HelperServiceImpl::ErrorCase;

Failure failure(ErrorCase c, std::string message) {
  return Failure{std::move(message), ErrorCode{HelperServiceImpl::kErrorDomain, static_cast<int>(c)}};
}

// What the client is told of a failed engine start: an error of a domain
// with that domain and code (the engine's own), one with only an errno with
// it as a file-system error, anything else as unexpected.
Failure startFailure(const Error& e) {
  if (!e.domain.empty()) return Failure{e.message, ErrorCode{e.domain, e.code}};
  if (e.code != 0) return Failure{e.message, ErrorCode{HelperServiceImpl::kPOSIXErrorDomain, e.code}};
  return failure(ErrorCase::unexpectedStartError, e.message);
}

}  // namespace

HelperServiceImpl& HelperServiceImpl::shared() {
  // Created once, even when the first connection and a stale-image task
  // race for it; the second waits for the first. Never destroyed: the
  // process ends by _exit or by a signal.
  static HelperServiceImpl* const instance = new HelperServiceImpl();
  return *instance;
}

HelperServiceImpl::HelperServiceImpl() : HelperServiceImpl(Options{}) {}

HelperServiceImpl::HelperServiceImpl(const Options& options)
    : options_(options),
      log_(kLogSubsystem, "Service"),
      mihomo_(options_.engine),
      heartbeatTimeout_(options_.heartbeatTimeout),
      timers_([this] { runTimers(); }),
      engineWatcher_("engine-watch") {
  log_.notice("startup cleanup: sweeping orphan utun-devices");
  // Not yet visible to anyone else, so no lock.
  mihomo_.sweepOrphanUtuns();
}

HelperServiceImpl::~HelperServiceImpl() {
  {
    MutexLock guard(timerMutex_);
    timersStopping_ = true;
  }
  timerChanged_.notify_all();
  timers_.join();  // a tick in progress finishes first
  MutexLock guard(lock_);
  // An exit callback waiting for the lock finds its engine outdated.
  ++engineGeneration_;
  if (session_ || mihomo_.process() != nullptr) stopEngine();
  session_.reset();
}

double HelperServiceImpl::now() const { return os().wallNow(); }

void HelperServiceImpl::ping(PingReply reply) {
  log_.info("ping");
  reply(HelperConstants::helperVersion);
}

void HelperServiceImpl::activate(const Caller& caller, const std::string& proxyURL, std::int32_t clientPID,
                                 ActivateReply reply) {
  log_.info("activate request from PID %d", clientPID);
  const std::optional<ProxyConfig> upstream = ProxyConfig::parse(proxyURL);
  if (!upstream) {
    // Answered without the lock: a live session is not touched.
    log_.error("activate: invalid proxy URL");
    reply(false, std::nullopt, failure(ErrorCase::invalidProxyURL, kInvalidProxyURLMessage));
    return;
  }

  MutexLock guard(lock_);
  if (session_ && caller.uid != 0 && caller.uid != session_->owner) {
    log_.error("activate: refusing — the live session belongs to uid %u, not to uid %u", session_->owner,
               caller.uid);
    reply(false, std::nullopt, failure(ErrorCase::notTheOwner, kNotTheOwnerMessage));
    return;
  }
  if (session_) {
    log_.notice("re-activating: tearing down previous session");
    stopEngine();
    session_.reset();
    // The watchdog keeps running; its ticks find no session until a
    // successful start replaces it.
  }
  if (const Status started = mihomo_.start(*upstream); !started) {
    guard.unlock();
    log_.error("activate: mihomo start failed: %s", started.error().message.c_str());
    reply(false, std::nullopt, startFailure(started.error()));
    return;
  }
  if (caller.gone && caller.gone()) {
    // Nobody holds the token of this session: it would route the machine's
    // traffic until the watchdog noticed.
    log_.error("activate: the client (PID %d) went away before the tunnel was up — tearing it down", clientPID);
    stopEngine();
    guard.unlock();
    reply(false, std::nullopt, failure(ErrorCase::clientGone, kClientGoneMessage));
    return;
  }

  const std::string token = randomUUIDString();
  // Taken after the start returned: its duration does not eat into the
  // heartbeat grace.
  const double activatedAt = now();
  session_ = ActiveSession{token, upstream->host, clientPID, activatedAt, activatedAt, caller.uid, *upstream, {}};
  watchEngine();
  startWatchdog();
  guard.unlock();
  log_.notice("activated: TUN routes ALL traffic via upstream %s", upstream->host.c_str());
  reply(true, token, std::nullopt);
}

void HelperServiceImpl::deactivate(const Caller& caller, const std::string& sessionToken,
                                   DeactivateReply reply) {
  log_.info("deactivate request");
  MutexLock guard(lock_);
  if (!session_) {
    log_.info("deactivate no-op (no active session)");
    reply(true, std::nullopt);
    return;
  }
  if (sessionToken != session_->token) {
    log_.error("deactivate token mismatch — refusing");
    reply(false, failure(ErrorCase::tokenMismatch, kTokenMismatchMessage));
    return;
  }
  if (caller.uid != 0 && caller.uid != session_->owner) {
    log_.error("deactivate: refusing — the live session belongs to uid %u, not to uid %u", session_->owner,
               caller.uid);
    reply(false, failure(ErrorCase::notTheOwner, kNotTheOwnerMessage));
    return;
  }
  stopEngine();
  session_.reset();
  cancelWatchdog();
  log_.notice("deactivated");
  reply(true, std::nullopt);
  sessionEnded();
}

void HelperServiceImpl::heartbeat(const std::string& sessionToken, HeartbeatReply reply) {
  MutexLock guard(lock_);
  // Exact, case-sensitive comparison: a token is a secret, not a name.
  if (!session_ || sessionToken != session_->token) {
    reply(false);
    return;
  }
  session_->lastHeartbeatAt = now();
  reply(true);
}

void HelperServiceImpl::status(StatusReply reply) {
  std::optional<ActiveSession> session;
  bool engineRunning = false;
  {
    MutexLock guard(lock_);
    session = session_;
    engineRunning = mihomo_.isEngineRunning();
  }
  reply(HelperStatus(session.has_value() && engineRunning,
                     session ? std::optional<std::string>(session->proxyHost) : std::nullopt,
                     session ? session->activatedAt : 0, 0, HelperConstants::helperVersion, 0));
}

void HelperServiceImpl::markStaleImage() {
  MutexLock guard(lock_);
  staleImageDetected_ = true;
  exitForStaleImageIfIdle();
}

void HelperServiceImpl::markStaleImageSoon() {
  {
    MutexLock guard(timerMutex_);
    staleCheckPending_ = true;
  }
  timerChanged_.notify_all();
}

void HelperServiceImpl::startWatchdog() {
  {
    MutexLock guard(timerMutex_);
    nextTick_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(options_.watchdogInterval));
  }
  timerChanged_.notify_all();
}

void HelperServiceImpl::cancelWatchdog() {
  MutexLock guard(timerMutex_);
  nextTick_.reset();
}

void HelperServiceImpl::runTimers() {
  pthread_setname_np(pthread_self(), "service-timers");
  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.watchdogInterval));
  MutexLock timers(timerMutex_);
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (timersStopping_) return;
    if (exitAt_ && now >= *exitAt_) {
      exitAt_.reset();
      timers.unlock();
      os().exit(0);  // without the service lock: the exit comes even while it is held
      timers.lock();
      continue;
    }
    if (staleCheckPending_) {
      staleCheckPending_ = false;
      timers.unlock();
      markStaleImage();
      timers.lock();
      continue;
    }
    if (nextTick_ && now >= *nextTick_) {
      // The next tick is due one interval after this one was; ticks missed
      // meanwhile are merged into this one.
      do *nextTick_ += interval;
      while (*nextTick_ <= now);
      timers.unlock();
      checkHeartbeat();
      timers.lock();
      continue;
    }
    auto wake = std::chrono::steady_clock::time_point::max();
    if (nextTick_) wake = *nextTick_;
    if (exitAt_) wake = std::min(wake, *exitAt_);
    timerChanged_.wait_until(timers.mutex(), wake);
  }
}

void HelperServiceImpl::checkHeartbeat() {
  MutexLock guard(lock_);
  if (!session_) return;
  const double elapsed = now() - session_->lastHeartbeatAt;
  if (!(elapsed > heartbeatTimeout_)) return;
  // Whole seconds, truncated toward zero (a clock set far ahead saturates).
  const long seconds = elapsed < 9.0e18 ? static_cast<long>(std::trunc(elapsed)) : LONG_MAX;
  log_.error("watchdog: no heartbeat for %lds — forcing deactivate (PID %d)", seconds,
             session_->clientPID);
  stopEngine();
  session_.reset();
  // The tick that is running now finishes normally; no further ticks.
  cancelWatchdog();
  sessionEnded();
}

void HelperServiceImpl::stopEngine() {
  ++engineGeneration_;
  engineWatcher_.clear();
  mihomo_.stop();
}

void HelperServiceImpl::watchEngine() {
  const ChildProcess* engine = mihomo_.process();
  if (engine == nullptr || engine->pidfd() < 0) return;
  const std::uint64_t generation = ++engineGeneration_;
  engineWatcher_.watch(engine->pidfd(), [this, generation] { engineExited(generation); });
}

void HelperServiceImpl::engineExited(std::uint64_t generation) {
  MutexLock guard(lock_);
  if (!session_ || generation != engineGeneration_) return;
  ChildProcess* engine = mihomo_.process();
  const int status = engine != nullptr && !engine->isRunning() ? engine->terminationStatus() : -1;
  log_.error("mihomo exited unexpectedly (status %d) while a session was live", status);
  // Stopping a dead engine is its cleanup: the routes of its device, the
  // rules it could not remove, and any stray engine.
  stopEngine();
  std::deque<double>& restarts = session_->restarts;
  const double monotonic = os().monotonicNow();
  for (;;) {
    while (!restarts.empty() && monotonic - restarts.front() > options_.engineRestartWindow) restarts.pop_front();
    if (static_cast<int>(restarts.size()) >= options_.engineRestartLimit) break;
    restarts.push_back(monotonic);
    log_.notice("restarting mihomo with the same upstream (restart %zu of at most %d within %.0fs)",
                restarts.size(), options_.engineRestartLimit, options_.engineRestartWindow);
    if (const Status started = mihomo_.start(session_->upstream); started) {
      watchEngine();
      return;
    } else {
      log_.error("mihomo restart failed: %s", started.error().message.c_str());
    }
  }
  log_.error("mihomo keeps exiting (%d restarts within %.0fs) — ending the session (PID %d)",
             options_.engineRestartLimit, options_.engineRestartWindow, session_->clientPID);
  stopEngine();
  session_.reset();
  cancelWatchdog();
  sessionEnded();
}

void HelperServiceImpl::sessionEnded() {
  if (!staleImageDetected_ && CodeSignValidator::imageReplacedSinceLaunch()) staleImageDetected_ = true;
  exitForStaleImageIfIdle();
}

void HelperServiceImpl::exitForStaleImageIfIdle() {
  if (!staleImageDetected_ || exitScheduled_) return;
  if (session_ && now() - session_->lastHeartbeatAt <= heartbeatTimeout_) {
    log_.notice("binary replaced on disk, but a session is live — postponing exit until it ends");
    return;
  }
  exitScheduled_ = true;
  log_.fault(
      "helper binary was replaced on disk — tearing down and exiting so launchd starts the updated one");
  stopEngine();
  session_.reset();
  cancelWatchdog();
  // On the timer thread, without the lock: the exit happens even while
  // another request holds it.
  {
    MutexLock guard(timerMutex_);
    exitAt_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                     std::chrono::duration<double>(options_.exitDelay));
  }
  timerChanged_.notify_all();
}

}  // namespace helper
