// A session service of its own per test: the stand-in engine at a path of
// the test's own, short engine timings, a wall clock the test sets, a
// process exit that is only recorded, admission with fakes, and clients
// that reach it through a socket of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "helper/front/helper_constants.h"
#include "helper/front/helper_listener_delegate.h"
#include "helper/session/helper_service_impl.h"
#include "platform/ipc/packet_server.h"
#include "tests/engine/engine_fixture.h"
#include "tools/client/helper_client.h"

namespace helper {

// Reaches the service's private parts, which the tests drive directly.
class HelperServiceImplTestPeer {
 public:
  static Mutex& lock(HelperServiceImpl& s) { return s.lock_; }
  static void checkHeartbeat(HelperServiceImpl& s) { s.checkHeartbeat(); }
  static bool watchdogArmed(HelperServiceImpl& s) {
    MutexLock guard(s.timerMutex_);
    return s.nextTick_.has_value();
  }
  static pid_t enginePid(HelperServiceImpl& s) {
    MutexLock guard(s.lock_);
    return s.mihomo_.process() ? s.mihomo_.process()->pid() : 0;
  }
};

namespace test {

class SessionFixture : public EngineFixture {
 protected:
  void TearDown() override {
    server_.reset();
    delegate_.reset();
    service_.reset();
    EngineFixture::TearDown();
  }

  HelperServiceImpl::Options options() {
    HelperServiceImpl::Options o;
    o.manager.enginePath = enginePath_;
    o.manager.timings = fastTimings();
    // Signatures are tested with the engine; the file rules hold here too.
    o.manager.checkSignature = [](const std::string& path) { return std::move(codesign::openRootImage(path).value()); };
    o.watchdogInterval = 3600;
    o.exitDelay = 0.05;
    o.wallClock = [this] { return clock_.load(); };
    o.exitProcess = [this](int status) {
      std::lock_guard<std::mutex> guard(mutex_);
      exits_.push_back(status);
    };
    return o;
  }
  // Created on first use, with `o` or options().
  HelperServiceImpl& service(const std::optional<HelperServiceImpl::Options>& o = std::nullopt) {
    if (!service_) service_ = std::make_unique<HelperServiceImpl>(o.value_or(options()));
    return *service_;
  }

  HelperListenerDelegate& delegate() {
    if (!delegate_) {
      HelperListenerDelegate::Options o;
      o.validate = [this](const PeerProcess& peer) {
        Verdict v;
        if (trusted_) v.admitted = AdmittedPeer{true, 0, 0, {}};
        (void)peer;
        return v;
      };
      o.recheck = [](const PeerProcess&, const AdmittedPeer&) { return std::string(); };
      o.imageReplacedSinceLaunch = [this] { return replaced_.load(); };
      o.service = [this]() -> HelperServiceImpl& { return service(); };  // made by a test's first client
        delegate_ = std::make_unique<HelperListenerDelegate>(o);
    }
    return *delegate_;
  }

  // A connected client; the service is served on first use.
  std::unique_ptr<HelperClient> client(double timeout = 30) {
    if (!server_) {
      ipc::PacketServer::Options s;
      s.socketPath = tmp_.file("control.sock");
      s.serviceName = HelperConstants::machServiceName;
      s.useSocketActivation = false;
      server_ = std::make_unique<ipc::PacketServer>(s, delegate());
      EXPECT_EQ(server_->resume(), "");
    }
    HelperClient::Options o;
    o.socketPath = tmp_.file("control.sock");
    o.requireRootServer = false;
    o.requestTimeout = o.activateTimeout = timeout;
    return HelperClient::connect(o);
  }
  static std::string activateOrFail(HelperClient& c) {
    const ActivateResult a = c.activate("socks5://u:p@192.0.2.10:1080", 4242);
    EXPECT_TRUE(a.success) << a.message.value_or("");
    return a.token.value_or("");
  }

  std::vector<std::string> serviceLines() const { return logs_->messages("Service"); }
  std::vector<int> exits() {
    std::lock_guard<std::mutex> guard(mutex_);
    return exits_;
  }
  static bool alive(pid_t pid) { return pid > 0 && kill(pid, 0) == 0; }

  std::atomic<double> clock_{1'700'000'000.0};
  std::mutex mutex_;
  std::vector<int> exits_;
  std::unique_ptr<HelperServiceImpl> service_;
  std::atomic<bool> trusted_{true};
  std::atomic<bool> replaced_{false};
  std::unique_ptr<HelperListenerDelegate> delegate_;
  std::unique_ptr<ipc::PacketServer> server_;
};

}  // namespace test
}  // namespace helper
