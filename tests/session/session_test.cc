// The session rules on the fake system, without root: who may replace or end
// a session, the watchdog's boundary on the wall clock, engine deaths and
// restarts, the stale-image exit without the service lock, and the code of
// every failure. The service is called directly, as the connection layer
// does. The exit after an update once the session ends is service_test's;
// requests racing for the lock are service_concurrency_test's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "helper/codesign/code_sign_validator.h"
#include "helper/session/helper_service_impl.h"
#include "tests/support/test_os.h"

namespace helper::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

struct Reply {
  bool success = false;
  std::optional<std::string> token;
  std::optional<Failure> failure;
  std::string message() const { return failure ? failure->message : ""; }
};

Failure sessionFailure(const std::string& message, int code) { return {message, {"helper.SessionError", code}}; }

const Caller kAlice{1000, nullptr}, kMallory{1001, nullptr}, kRoot{0, nullptr};

// The fake system's engine: its device utun0 exists while the last engine
// launched runs; an engine start can be held up for the test's purposes.
class SessionOs : public FakeOs {
 public:
  SessionOs() {
    interfaces = [this](double) {
      while (holdStarts) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return runningChild() != 0 ? std::vector<std::string>{"utun0"} : std::vector<std::string>{};
    };
  }
  Result<std::unique_ptr<ChildProcess>> spawn(const SpawnRequest& request) override {
    ++nextPid;
    return FakeOs::spawn(request);
  }

  // While set, an engine start waits, with the service lock held.
  std::atomic<bool> holdStarts{false};
};

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CodeSignValidator::recordStartupStamp();
    HelperServiceImpl::Options o;
    o.watchdogInterval = 0.005;
    o.exitDelay = 0.01;
    service_ = std::make_unique<HelperServiceImpl>(o);
  }
  void TearDown() override {
    os_.holdStarts = false;
    service_.reset();
  }

  HelperServiceImpl& service() { return *service_; }

  Reply activate(Caller caller, const std::string& url = "socks5://192.0.2.10:1080") {
    Reply r;
    service().activate(caller, url, 4242, [&](bool ok, std::optional<std::string> t, std::optional<Failure> f) {
      r = {ok, std::move(t), std::move(f)};
    });
    return r;
  }
  Reply deactivate(Caller caller, const std::string& token) {
    Reply r;
    service().deactivate(caller, token, [&](bool ok, std::optional<Failure> f) {
      r = {ok, std::nullopt, std::move(f)};
    });
    return r;
  }
  bool heartbeat(const std::string& token) {
    bool ok = false;
    service().heartbeat(token, [&](bool success) { ok = success; });
    return ok;
  }
  HelperStatus status() {
    std::optional<HelperStatus> s;
    service().status([&](HelperStatus reply) { s = std::move(reply); });
    return *s;
  }
  // The running engine's pid; 0 when none runs.
  pid_t engine() { return os_.runningChild(); }
  std::vector<std::string> lines() const { return os_.messages("Service"); }

  static bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
  }
  // Waits for several watchdog ticks: what has not happened by then will not.
  static void ticks() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

  SessionOs os_;
  OsScope scope_{os_};
  std::unique_ptr<HelperServiceImpl> service_;
};

TEST_F(SessionTest, ASessionIsReplacedOrEndedOnlyByItsOwnerOrRoot) {
  const Reply mine = activate(kAlice);
  ASSERT_TRUE(mine.success) << mine.message();
  const pid_t first = engine();
  const Failure notOwner =
      sessionFailure("the live session belongs to another user; only that user or root can replace or end it", 3);
  const Reply taken = activate(kMallory, "socks5://198.51.100.66:1080");
  EXPECT_FALSE(taken.success || taken.token);
  EXPECT_EQ(taken.failure, notOwner);
  EXPECT_EQ(deactivate(kMallory, *mine.token).failure, notOwner);
  // The token is checked first: a wrong one is a mismatch for anyone.
  EXPECT_EQ(deactivate(kMallory, "x").failure, sessionFailure("session token mismatch", 2));
  // Exactly the token: one differing in case is another.
  ASSERT_NE(mine.token->find_first_of("ABCDEF"), std::string::npos);
  std::string lower = *mine.token;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  EXPECT_FALSE(heartbeat(lower));
  EXPECT_EQ(engine(), first);
  // Heartbeats need only the token.
  EXPECT_TRUE(heartbeat(*mine.token));
  EXPECT_THAT(lines(), Contains("activate: refusing — the live session belongs to uid 1000, not to uid 1001"));
  // Root replaces it, stopping the first engine before the second starts,
  // and then owns the new one.
  const Reply rootSession = activate(kRoot, "socks5://192.0.2.20:1080");
  ASSERT_TRUE(rootSession.success);
  EXPECT_THAT(os_.childSignals[first], ElementsAre(SIGTERM));
  EXPECT_NE(engine(), first);
  EXPECT_FALSE(heartbeat(*mine.token));
  EXPECT_EQ(status(), HelperStatus(true, "192.0.2.20", 1'700'000'000.0, 0, "1.0.0", 0));
  EXPECT_FALSE(activate(kAlice).success);
  EXPECT_TRUE(deactivate(kRoot, *rootSession.token).success);
  EXPECT_EQ(status(), HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0));
  // With no session live anyone may start one, and a deactivate with any
  // token succeeds with nothing to do.
  EXPECT_TRUE(deactivate(kMallory, "stale").success);
  EXPECT_TRUE(activate(kMallory).success);
}

TEST_F(SessionTest, AClientGoneBeforeTheTunnelIsUpGetsNothingStarted) {
  const Reply r = activate(Caller{1000, [] { return true; }});
  EXPECT_FALSE(r.success || r.token);
  EXPECT_EQ(r.failure, sessionFailure("the client went away before the tunnel was up", 4));
  EXPECT_EQ(engine(), 0);
  EXPECT_EQ(lines().back(), "activate: the client (PID 4242) went away before the tunnel was up — tearing it down");
  EXPECT_FALSE(status().isActive());
}

// A failed start names its cause: the engine's own error by its case (each
// case is engine_timing_test's), a file-system error by its errno, any other
// as unexpected; the text is the one logged. A failure ends the live session.
TEST_F(SessionTest, AFailedStartCarriesTheCodeOfItsCauseAndLeavesNoSession) {
  EXPECT_EQ(activate(kAlice, "socks5://").failure, sessionFailure("Невалидный proxy URL", 1));
  const std::string data = "/var/lib/tarn.CorvalethApp/mihomo";
  const struct {
    std::function<void()> breakIt;
    ErrorCode code;
  } cases[] = {
      {[&] { os_.spawnError = ENOEXEC; }, {"helper.MihomoError", 1}},
      {[&] { os_.failingFiles.emplace(data, Error("not a directory", ENOTDIR)); }, {"helper.POSIXError", ENOTDIR}},
      {[&] { os_.failingFiles.emplace(data, Error("no errno")); }, {"helper.SessionError", 5}},
  };
  for (const auto& c : cases) {
    const std::string token = *activate(kAlice).token;
    c.breakIt();
    const Reply r = activate(kAlice);
    os_.spawnError = 0;
    os_.failingFiles.clear();
    EXPECT_FALSE(r.success || r.token);
    EXPECT_EQ(r.failure.value_or(Failure{}).code, c.code);
    EXPECT_EQ(lines().back(), "activate: mihomo start failed: " + r.message());
    EXPECT_FALSE(heartbeat(token));
    EXPECT_FALSE(status().isActive());
  }
}

TEST_F(SessionTest, TheWatchdogExpiresStrictlyAfterThirtySecondsWithoutAHeartbeat) {
  const std::pair<double, const char*> cases[] = {
      {30.0, nullptr},  // the session lives on
      {30.001, "watchdog: no heartbeat for 30s — forcing deactivate (PID 4242)"},
      {34.999, "watchdog: no heartbeat for 34s — forcing deactivate (PID 4242)"},
  };
  for (const auto& [silence, line] : cases) {
    const std::string token = *activate(kAlice).token;
    const pid_t running = engine();
    // The grace counts from the last heartbeat, not from the activation.
    os_.wall = os_.wall + 20;
    ASSERT_TRUE(heartbeat(token));
    os_.clearLog();
    os_.wall = os_.wall + silence;
    if (line == nullptr) {
      ticks();
      EXPECT_TRUE(os_.records().empty());
      EXPECT_TRUE(heartbeat(token));
      continue;
    }
    ASSERT_TRUE(eventually([&] { return !status().isActive(); })) << silence;
    EXPECT_EQ(os_.records().at(0).level, LogLevel::error);
    EXPECT_EQ(lines().front(), line);
    EXPECT_THAT(os_.childSignals[running], ElementsAre(SIGTERM));
    // Once expired, it stays ended: no tick ends anything more.
    os_.clearLog();
    ticks();
    EXPECT_TRUE(os_.records().empty());
  }
}

TEST_F(SessionTest, ADeadEngineIsRestartedThreeTimesAMinuteThenTheSessionEnds) {
  const std::string token = *activate(kAlice).token;
  for (int restart = 1; restart <= 3; ++restart) {
    const pid_t dead = engine();
    os_.endChild(SIGKILL);
    ASSERT_TRUE(eventually([&] { return engine() != 0 && engine() != dead; })) << "restart " << restart;
    EXPECT_TRUE(status().isActive());
    EXPECT_TRUE(heartbeat(token));
    os_.now = os_.now + 10;
  }
  EXPECT_THAT(lines(), Contains("restarting mihomo with the same upstream (restart 3 of at most 3 within 60s)"));
  // The fourth death within the minute ends the session.
  os_.endChild(SIGKILL);
  ASSERT_TRUE(eventually([&] { return !heartbeat(token); }));
  EXPECT_FALSE(status().isActive());
  EXPECT_THAT(lines(), Contains("mihomo exited unexpectedly (status 9) while a session was live"));
  EXPECT_EQ(lines().back(), "mihomo keeps exiting (3 restarts within 60s) — ending the session (PID 4242)");

  // Deaths more than a minute apart are restarted without end; an engine
  // that cannot be restarted ends the session after three tries.
  const std::string second = *activate(kAlice).token;
  for (int death = 0; death < 5; ++death) {
    const pid_t dead = engine();
    os_.endChild(SIGKILL);
    ASSERT_TRUE(eventually([&] { return engine() != 0 && engine() != dead; })) << "death " << death;
    os_.now = os_.now + 61;
  }
  os_.spawnError = ENOEXEC;
  os_.endChild(SIGKILL);
  ASSERT_TRUE(eventually([&] { return !heartbeat(second); }));
  const std::vector<std::string> all = lines();
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& l) { return l.rfind("mihomo restart failed: ", 0) == 0; }),
            3);
}

// The watchdog's end of a session is an end like any other: a helper whose
// file was replaced meanwhile exits then.
TEST_F(SessionTest, AStaleImageExitsOnceTheWatchdogEndsTheSession) {
  activate(kAlice);
  service().markStaleImage();  // postponed while the session is live
  os_.wall = os_.wall + 31;
  ASSERT_TRUE(eventually([&] { return os_.exitsSoFar() == std::vector<int>{0}; }));
}

TEST_F(SessionTest, AStaleImageWaitsForASessionHeardFromWithinThirtySecondsThenExitsWithoutTheLock) {
  const std::string token = *activate(kAlice).token;
  const pid_t running = engine();
  service().markStaleImage();
  os_.wall = os_.wall + 25;
  ASSERT_TRUE(heartbeat(token));
  os_.wall = os_.wall + 30;  // exactly 30 s since the heartbeat: still alive
  service().markStaleImage();
  ticks();
  EXPECT_TRUE(os_.exitsSoFar().empty());
  EXPECT_EQ(engine(), running);
  const std::string postponed = "binary replaced on disk, but a session is live — postponing exit until it ends";
  EXPECT_THAT(lines(), ElementsAre("startup cleanup: sweeping orphan utun-devices", "activate request from PID 4242",
                                   "activated: TUN routes ALL traffic via upstream 192.0.2.10", postponed, postponed));
  // Dead in all but name: the session ends and the exit is scheduled. A
  // start in progress holds the lock from then on; the exit comes
  // regardless, once.
  os_.wall = os_.wall + 0.001;
  service().markStaleImage();
  os_.holdStarts = true;
  auto blocked = std::async(std::launch::async, [&] { return activate(kRoot); });
  ASSERT_TRUE(eventually([&] { return os_.exitsSoFar() == std::vector<int>{0}; }));
  EXPECT_THAT(lines(), Contains("helper binary was replaced on disk — tearing down and exiting so launchd starts "
                                "the updated one"));
  EXPECT_THAT(os_.childSignals[running], ElementsAre(SIGTERM));
  os_.holdStarts = false;
  blocked.get();
}

}  // namespace
}  // namespace helper::test
