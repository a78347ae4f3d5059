// A session service of its own per test: the stand-in engine at a path of
// the test's own, short engine timings, a wall clock the test sets, and a
// process exit that is only recorded.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "helper/session/helper_service_impl.h"
#include "tests/engine/engine_fixture.h"

namespace helper {

// Reaches the service's private parts: its lock, the watchdog and the
// stale-image path, which the tests drive directly.
class HelperServiceImplTestPeer {
 public:
  static std::mutex& lock(HelperServiceImpl& s) { return s.lock_; }
  static void checkHeartbeat(HelperServiceImpl& s) { s.checkHeartbeat(); }
  static bool watchdogArmed(HelperServiceImpl& s) {
    std::lock_guard<std::mutex> guard(s.lock_);
    return s.watchdogSource_ && !s.watchdogSource_->isCancelled();
  }
  static void exitForStaleImageIfIdle(HelperServiceImpl& s) {
    std::lock_guard<std::mutex> guard(s.lock_);
    s.exitForStaleImageIfIdle();
  }
  static pid_t enginePid(HelperServiceImpl& s) {
    std::lock_guard<std::mutex> guard(s.lock_);
    return s.mihomo_.process() ? s.mihomo_.process()->pid() : 0;
  }
};

namespace test {

struct Activation {
  bool success = false;
  std::optional<std::string> token;
  std::optional<std::string> message;
};

class SessionFixture : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    clock_ = 1'700'000'000.0;
  }

  void TearDown() override {
    service_.reset();
    background_.waitUntilIdle();
    EngineFixture::TearDown();
  }

  HelperServiceImpl::Options options(double watchdogInterval = 3600) {
    HelperServiceImpl::Options o;
    o.manager.enginePath = enginePath_;
    o.manager.timings = fastTimings();
    // The engine signature check has its own tests; here any engine runs.
    o.manager.checkSignature = [](const std::string&) {};
    o.watchdogInterval = watchdogInterval;
    o.exitDelay = 0.05;
    o.wallClock = [this] { return clock_.load(); };
    o.exitProcess = [this](int status) {
      std::lock_guard<std::mutex> guard(exitMutex_);
      exits_.push_back(status);
    };
    o.backgroundQueue = &background_;
    return o;
  }

  HelperServiceImpl& service(double watchdogInterval = 3600) {
    if (!service_) service_ = std::make_unique<HelperServiceImpl>(options(watchdogInterval));
    return *service_;
  }

  Activation activate(const std::string& url, std::int32_t pid = 4242) {
    Activation a;
    int calls = 0;
    service().activate(url, pid, [&](bool ok, std::optional<std::string> token, std::optional<std::string> message) {
      ++calls;
      a = {ok, std::move(token), std::move(message)};
    });
    EXPECT_EQ(calls, 1);
    return a;
  }
  std::string activateOrFail(const std::string& url = "socks5://u:p@192.0.2.10:1080") {
    const Activation a = activate(url);
    EXPECT_TRUE(a.success) << a.message.value_or("");
    return a.token.value_or("");
  }
  bool heartbeat(const std::string& token) {
    bool result = false;
    int calls = 0;
    service().heartbeat(token, [&](bool ok) {
      ++calls;
      result = ok;
    });
    EXPECT_EQ(calls, 1);
    return result;
  }
  std::pair<bool, std::optional<std::string>> deactivate(const std::string& token) {
    std::pair<bool, std::optional<std::string>> result;
    int calls = 0;
    service().deactivate(token, [&](bool ok, std::optional<std::string> message) {
      ++calls;
      result = {ok, std::move(message)};
    });
    EXPECT_EQ(calls, 1);
    return result;
  }
  HelperStatus status() {
    std::optional<HelperStatus> result;
    service().status([&](HelperStatus s) { result = std::move(s); });
    EXPECT_TRUE(result.has_value());
    return result.value_or(HelperStatus(false, std::nullopt, -1, -1, "none", -1));
  }

  std::vector<std::string> serviceLines() const { return logs_->messages("Service"); }
  std::vector<int> exits() {
    std::lock_guard<std::mutex> guard(exitMutex_);
    return exits_;
  }

  static bool alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

  // Waits up to `seconds` for `condition`.
  template <typename F>
  static bool eventually(F condition, double seconds = 5) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
  }

  std::atomic<double> clock_{0};
  ConcurrentQueue background_;
  std::mutex exitMutex_;
  std::vector<int> exits_;
  std::unique_ptr<HelperServiceImpl> service_;
};

}  // namespace test
}  // namespace helper
