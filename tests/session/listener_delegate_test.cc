// Admission: trusted peers are served by the one service object; refusals
// check the executable on disk and may start the stale-image exit, without
// the listener ever taking the service lock.
#include <gmock/gmock.h>

#include "helper/front/helper_listener_delegate.h"
#include "platform/ipc/packet_server.h"
#include "tests/session/session_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;

class ListenerDelegateTest : public SessionFixture {
 protected:
  HelperListenerDelegate& delegate() {
    if (!delegate_) {
      HelperListenerDelegate::Options o;
      o.validate = [this](const PeerProcess&) { return trusted_.load(); };
      o.imageReplacedSinceLaunch = [this] {
        ++stampChecks_;
        return replaced_.load();
      };
      o.service = [this]() -> HelperServiceImpl& {
        std::lock_guard<std::mutex> guard(creation_);
        if (!service_) ++creations_;
        return service();
      };
      o.backgroundQueue = &background_;
      delegate_ = std::make_unique<HelperListenerDelegate>(o);
    }
    return *delegate_;
  }

  // A connection from `pid`, admitted or not.
  bool admit(pid_t pid) {
    ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{pid, 1000, 1000}, PeerProcess());
    ipc::PacketServer::Options unused;
    ipc::PacketServer listener(unused, delegate());
    return delegate().shouldAcceptNewConnection(listener, connection);
  }

  std::vector<std::string> listenerLines() const { return logs_->messages("Listener"); }

  std::unique_ptr<HelperListenerDelegate> delegate_;
  std::atomic<bool> trusted_{true};
  std::atomic<bool> replaced_{false};
  std::atomic<int> stampChecks_{0};
  std::atomic<int> creations_{0};
  std::mutex creation_;
};

TEST_F(ListenerDelegateTest, AnUntrustedPeerWithAnUnchangedImageIsRefusedAndNothingElseHappens) {
  trusted_ = false;
  EXPECT_FALSE(admit(201));
  background_.waitUntilIdle();
  EXPECT_THAT(listenerLines(), ElementsAre("Rejected connection: signature validation failed (PID 201)"));
  EXPECT_EQ(stampChecks_, 1);
  EXPECT_EQ(creations_, 0);
  EXPECT_TRUE(exits().empty());
}

TEST_F(ListenerDelegateTest, TheFirstRefusalAfterAnUpdateCreatesTheServiceThenExits) {
  trusted_ = false;
  replaced_ = true;
  EXPECT_FALSE(admit(301));
  background_.waitUntilIdle();
  EXPECT_EQ(creations_, 1);
  EXPECT_THAT(serviceLines(),
              ElementsAre("startup cleanup: sweeping orphan utun-devices",
                          "helper binary was replaced on disk — tearing down and exiting so launchd starts "
                          "the updated one"));
  EXPECT_THAT(exits(), ElementsAre(0));
}

TEST_F(ListenerDelegateTest, RefusalsDoNotWaitForTheServiceLock) {
  const std::string token = activateOrFail();
  trusted_ = false;
  replaced_ = true;
  {
    // An engine start holds the lock; a flood of refusals meanwhile.
    std::unique_lock<std::mutex> held(HelperServiceImplTestPeer::lock(service()));
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) EXPECT_FALSE(admit(500 + i));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  background_.waitUntilIdle();
  // The stale-image checks that queued up behind the lock ran after it, and
  // each found the session live.
  const auto lines = serviceLines();
  const auto postponed = std::count(lines.begin(), lines.end(),
                                    "binary replaced on disk, but a session is live — postponing exit until it ends");
  EXPECT_GE(postponed, 1);
  EXPECT_LE(postponed, 2);
  EXPECT_TRUE(exits().empty());
  EXPECT_TRUE(heartbeat(token));
}

}  // namespace
}  // namespace helper::test
