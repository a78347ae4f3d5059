// The session service with a real (stand-in) engine in a private network
// namespace: the life of a session, the watchdog's boundary on the wall
// clock, and the exit of a stale image.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>

#include <future>

#include "tests/session/session_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using Peer = HelperServiceImplTestPeer;

class HelperServiceTest : public SessionFixture {};

TEST_F(HelperServiceTest, ASessionLivesFromActivateThroughHeartbeatsToDeactivate) {
  const std::string token = activateOrFail("socks5://u:p@192.0.2.10:1080");
  EXPECT_THAT(token, MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
  const pid_t engine = Peer::enginePid(service());
  EXPECT_TRUE(alive(engine));
  EXPECT_EQ(status(), HelperStatus(true, "192.0.2.10", 1'700'000'000.0, 0, "1.0.0", 0));
  EXPECT_TRUE(Peer::watchdogArmed(service()));

  clock_ = clock_ + 20;
  EXPECT_TRUE(heartbeat(token));
  // 30 s after the heartbeat, not after the activation, is the limit.
  clock_ = clock_ + 30;
  Peer::checkHeartbeat(service());
  EXPECT_TRUE(status().isActive());

  EXPECT_EQ(deactivate(token), std::make_pair(true, std::optional<std::string>()));
  EXPECT_FALSE(Peer::watchdogArmed(service()));
  EXPECT_EQ(Peer::enginePid(service()), 0);
  EXPECT_TRUE(eventually([&] { return !alive(engine); }));
  EXPECT_EQ(status(), HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0));
  EXPECT_FALSE(heartbeat(token));
  // Deactivating again is harmless.
  EXPECT_EQ(deactivate(token), std::make_pair(true, std::optional<std::string>()));

  EXPECT_THAT(serviceLines(),
              ElementsAre("startup cleanup: sweeping orphan utun-devices", "activate request from PID 4242",
                          "activated: TUN routes ALL traffic via upstream 192.0.2.10", "deactivate request",
                          "deactivated", "deactivate request", "deactivate no-op (no active session)"));
  EXPECT_TRUE(exits().empty());
}

TEST_F(HelperServiceTest, AnUnusableURLIsAnsweredWithoutTheLockAndLeavesALiveSessionAlone) {
  const std::string token = activateOrFail();
  const pid_t engine = Peer::enginePid(service());
  logs_->clear();
  // Someone holds the lock (an engine start, say): the refusal still comes at once.
  std::unique_lock<std::mutex> held(Peer::lock(service()));
  auto reply = std::async(std::launch::async, [&] { return activate("socks5://:0"); });
  ASSERT_EQ(reply.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "waited for the lock";
  held.unlock();
  const Activation a = reply.get();
  EXPECT_FALSE(a.success);
  EXPECT_FALSE(a.token);
  EXPECT_EQ(a.message, "Невалидный proxy URL");
  EXPECT_THAT(serviceLines(), ElementsAre("activate request from PID 4242", "activate: invalid proxy URL"));
  EXPECT_EQ(Peer::enginePid(service()), engine);
  EXPECT_TRUE(alive(engine));
  EXPECT_TRUE(heartbeat(token));
  EXPECT_TRUE(status().isActive());
}

TEST_F(HelperServiceTest, AFailedRestartLeavesTheWatchdogTickingOverNothing) {
  const std::string token = activateOrFail();
  setKnobs({{"exit_status", "1"}});
  const Activation a = activate("socks5://192.0.2.30:1080");
  EXPECT_FALSE(a.success);
  ASSERT_TRUE(a.message);
  EXPECT_EQ(serviceLines().back(), "activate: mihomo start failed: " + *a.message);
  EXPECT_EQ(status(), HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0));
  // The old session's watchdog keeps ticking; with no session its ticks do
  // nothing.
  EXPECT_TRUE(Peer::watchdogArmed(service()));
  clock_ = clock_ + 1000;
  logs_->clear();
  Peer::checkHeartbeat(service());
  EXPECT_TRUE(logs_->records().empty());
  EXPECT_FALSE(heartbeat(token));
}

TEST_F(HelperServiceTest, StatusTellsAnEngineThatDiedFromAnEndedSession) {
  const std::string token = activateOrFail("socks5://192.0.2.10:1080");
  const pid_t engine = Peer::enginePid(service());
  ASSERT_EQ(kill(engine, SIGKILL), 0);
  EXPECT_TRUE(eventually([&] { return !status().isActive(); }));
  const HelperStatus s = status();
  EXPECT_EQ(s.activeProxyHost(), "192.0.2.10");
  EXPECT_EQ(s.activeSinceUnixTime(), 1'700'000'000.0);
  EXPECT_TRUE(heartbeat(token));
}

TEST_F(HelperServiceTest, TheWatchdogExpiresStrictlyAfterThirtySecondsOfSilence) {
  struct Case {
    double silence;
    const char* line;  // nullptr: the session lives on
  };
  const Case cases[] = {
      {30.0, nullptr},
      {30.001, "watchdog: no heartbeat for 30s — forcing deactivate (PID 4242)"},
      {34.999, "watchdog: no heartbeat for 34s — forcing deactivate (PID 4242)"},
      {86400.5, "watchdog: no heartbeat for 86400s — forcing deactivate (PID 4242)"},
  };
  for (const Case& c : cases) {
    const std::string token = activateOrFail();
    const pid_t engine = Peer::enginePid(service());
    logs_->clear();
    clock_ = clock_ + c.silence;
    Peer::checkHeartbeat(service());
    if (c.line == nullptr) {
      EXPECT_TRUE(status().isActive()) << c.silence;
      EXPECT_TRUE(logs_->messages("Service").empty());
      EXPECT_TRUE(heartbeat(token));
      continue;
    }
    const auto lines = serviceLines();
    ASSERT_FALSE(lines.empty()) << c.silence;
    EXPECT_EQ(lines[0], c.line);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(c.line)), 1);
    const auto errors = logs_->records();
    EXPECT_EQ(errors.front().level, LogLevel::error);
    EXPECT_FALSE(status().isActive());
    EXPECT_FALSE(alive(engine));
    EXPECT_FALSE(Peer::watchdogArmed(service()));
    EXPECT_FALSE(heartbeat(token));
  }
  EXPECT_TRUE(exits().empty());
}

TEST_F(HelperServiceTest, TheWatchdogTicksOnItsOwnAndHeartbeatsKeepTheSessionAlive) {
  service(/*watchdogInterval=*/0.02);
  const std::string token = activateOrFail();
  // Heartbeats every 10 s of wall-clock time keep it alive through many ticks.
  for (int i = 0; i < 10; ++i) {
    clock_ = clock_ + 10;
    EXPECT_TRUE(heartbeat(token));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_TRUE(status().isActive());
  // The clock jumps ahead (a sleep, or the time set forward): the next tick ends it.
  clock_ = clock_ + 45;
  EXPECT_TRUE(eventually([&] { return !status().isActive() && !status().activeProxyHost(); }, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  clock_ = clock_ + 45;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto lines = serviceLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("watchdog:", 0) == 0; }),
            1);
  EXPECT_THAT(lines, ::testing::Contains("watchdog: no heartbeat for 45s — forcing deactivate (PID 4242)"));
}

TEST_F(HelperServiceTest, AStaleImageWithNobodyActiveExitsOnceWithStatusZero) {
  service().markStaleImage();
  service().markStaleImage();
  Peer::exitForStaleImageIfIdle(service());
  const auto lines = serviceLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "helper binary was replaced on disk — tearing down and exiting so launchd starts the updated one"),
            1);
  const auto faults = logs_->records();
  EXPECT_EQ(faults.back().level, LogLevel::fault);
  // Half a second later in production; exitDelay here.
  EXPECT_TRUE(exits().empty());
  background_.waitUntilIdle();
  EXPECT_THAT(exits(), ElementsAre(0));
}

TEST_F(HelperServiceTest, TheExitDoesNotWaitForTheLock) {
  const std::string token = activateOrFail();
  clock_ = clock_ + 31;  // the session is dead in all but name
  service().markStaleImage();
  // Another request holds the lock from now on.
  std::lock_guard<std::mutex> held(Peer::lock(service()));
  EXPECT_TRUE(eventually([&] { return !exits().empty(); }, 2));
  EXPECT_THAT(exits(), ElementsAre(0));
}

TEST_F(HelperServiceTest, AStaleImageWaitsForAHeartbeatingSessionToEnd) {
  const std::string token = activateOrFail();
  const pid_t engine = Peer::enginePid(service());
  service().markStaleImage();
  clock_ = clock_ + 25;
  ASSERT_TRUE(heartbeat(token));
  clock_ = clock_ + 30;  // exactly 30 s since the heartbeat: still alive
  service().markStaleImage();
  background_.waitUntilIdle();
  EXPECT_TRUE(exits().empty());
  EXPECT_TRUE(alive(engine));
  const std::string postponed = "binary replaced on disk, but a session is live — postponing exit until it ends";
  auto lines = serviceLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), postponed), 2);

  // The client deactivates: it gets its reply, then the process exits.
  EXPECT_EQ(deactivate(token), std::make_pair(true, std::optional<std::string>()));
  lines = serviceLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "deactivated");
  EXPECT_EQ(lines.back(),
            "helper binary was replaced on disk — tearing down and exiting so launchd starts the updated one");
  background_.waitUntilIdle();
  EXPECT_THAT(exits(), ElementsAre(0));
}

TEST_F(HelperServiceTest, AStaleImageExitsWhenTheWatchdogEndsTheSession) {
  activateOrFail();
  service().markStaleImage();
  clock_ = clock_ + 31;
  Peer::checkHeartbeat(service());
  background_.waitUntilIdle();
  EXPECT_THAT(exits(), ElementsAre(0));
  const auto lines = serviceLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "watchdog: no heartbeat for 31s — forcing deactivate (PID 4242)");
}

}  // namespace
}  // namespace helper::test
