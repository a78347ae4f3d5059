// The session service with the stand-in engine, where the integration tests
// cannot look: the lock (not taken for a bad URL, not needed by the exit,
// never waited for by admission), the watchdog's boundary on the wall
// clock, the stale-image boundary, and the code of every failure.
#include <gmock/gmock.h>
#include <signal.h>

#include <cerrno>
#include <future>

#include "tests/session/session_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;
using Peer = HelperServiceImplTestPeer;

class HelperServiceTest : public SessionFixture {};

// Calls the service directly, as the connection layer does, with a caller
// of the test's choosing.
struct Reply {
  bool success = false;
  std::optional<std::string> token;
  std::optional<Failure> failure;
  std::string message() const { return failure ? failure->message : ""; }
};
Reply activateAs(HelperServiceImpl& s, Caller caller, const std::string& url = "socks5://192.0.2.10:1080") {
  Reply r;
  s.activate(caller, url, 4242, [&](bool ok, std::optional<std::string> t, std::optional<Failure> f) {
    r = {ok, std::move(t), std::move(f)};
  });
  return r;
}
Reply deactivateAs(HelperServiceImpl& s, Caller caller, const std::string& token) {
  Reply r;
  s.deactivate(caller, token, [&](bool ok, std::optional<Failure> f) { r = {ok, std::nullopt, std::move(f)}; });
  return r;
}
Failure sessionFailure(const std::string& message, int code) { return {message, {"helper.SessionError", code}}; }

TEST_F(HelperServiceTest, ADeadEngineIsRestartedThreeTimesAMinuteThenTheSessionEnds) {
  auto c = client();
  const std::string token = activateOrFail(*c);
  for (int restart = 1; restart <= 3; ++restart) {
    const pid_t engine = Peer::enginePid(service());
    ASSERT_EQ(kill(engine, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return Peer::enginePid(service()) != engine && c->status().isActive(); }))
        << "restart " << restart;
    EXPECT_EQ(c->status(), HelperStatus(true, "192.0.2.10", 1'700'000'000.0, 0, "1.0.0", 0));
    EXPECT_TRUE(c->heartbeat(token));
  }
  EXPECT_THAT(serviceLines(), ::testing::Contains("restarting mihomo with the same upstream (restart 3 of at most 3 within 60s)"));
  // The fourth death within the minute ends the session.
  const pid_t last = Peer::enginePid(service());
  ASSERT_EQ(kill(last, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return !c->heartbeat(token); }));
  EXPECT_EQ(c->status(), HelperStatus(false, std::nullopt, 0, 0, "1.0.0", 0));
  EXPECT_EQ(Peer::enginePid(service()), 0);
  EXPECT_FALSE(Peer::watchdogArmed(service()));
  EXPECT_THAT(serviceLines(), ::testing::Contains(::testing::StartsWith("mihomo exited unexpectedly (status 9)")));
  EXPECT_EQ(serviceLines().back(), "mihomo keeps exiting (3 restarts within 60s) — ending the session (PID 4242)");
  EXPECT_TRUE(c->deactivate(token).success);  // nothing left to end
}

TEST_F(HelperServiceTest, AnEngineThatCannotBeRestartedEndsTheSessionAndAFailedActivateLeavesTheWatchdogIdle) {
  auto c = client();
  const std::string token = activateOrFail(*c);
  setKnobs({{"exit_status", "1"}});
  ASSERT_EQ(kill(Peer::enginePid(service()), SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return !c->heartbeat(token); }));
  const std::vector<std::string> lines = serviceLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("mihomo restart failed: ", 0) == 0; }),
            3);
  setKnobs({});
  const std::string token2 = activateOrFail(*c);
  setKnobs({{"exit_status", "1"}});
  const ActivateResult a = c->activate("socks5://192.0.2.30:1080", 4242);
  ASSERT_FALSE(a.success);
  EXPECT_EQ(serviceLines().back(), "activate: mihomo start failed: " + a.message.value_or(""));
  EXPECT_TRUE(Peer::watchdogArmed(service()));
  clock_ = clock_ + 1000;
  logs_->clear();
  Peer::checkHeartbeat(service());
  EXPECT_TRUE(logs_->records().empty());
  EXPECT_FALSE(c->heartbeat(token2));
}

TEST_F(HelperServiceTest, ASessionIsReplacedOrEndedOnlyByItsOwnerOrRoot) {
  HelperServiceImpl& s = service();
  const Caller alice{1000, nullptr}, mallory{1001, nullptr}, root{0, nullptr};
  const Reply mine = activateAs(s, alice);
  ASSERT_TRUE(mine.success) << mine.message();
  const pid_t engine = Peer::enginePid(s);
  const Failure notOwner =
      sessionFailure("the live session belongs to another user; only that user or root can replace or end it", 3);
  const Reply taken = activateAs(s, mallory, "socks5://198.51.100.66:1080");
  EXPECT_FALSE(taken.success || taken.token);
  EXPECT_EQ(taken.failure, notOwner);
  const Reply ended = deactivateAs(s, mallory, *mine.token);
  EXPECT_FALSE(ended.success);
  EXPECT_EQ(ended.failure, notOwner);
  // The token is checked first: a wrong one is a mismatch for anyone.
  EXPECT_EQ(deactivateAs(s, mallory, "x").failure, sessionFailure("session token mismatch", 2));
  EXPECT_EQ(Peer::enginePid(s), engine);
  // Heartbeats need only the token.
  bool beat = false;
  s.heartbeat(*mine.token, [&](bool ok) { beat = ok; });
  EXPECT_TRUE(beat);
  EXPECT_THAT(serviceLines(), ::testing::Contains("activate: refusing — the live session belongs to uid 1000, not to uid 1001"));
  // Root replaces it, and then owns the new one.
  const Reply rootSession = activateAs(s, root, "socks5://192.0.2.20:1080");
  ASSERT_TRUE(rootSession.success);
  EXPECT_FALSE(activateAs(s, alice).success);
  EXPECT_TRUE(deactivateAs(s, root, *rootSession.token).success);
  // With no session live anyone may start one.
  EXPECT_TRUE(activateAs(s, mallory).success);
}

TEST_F(HelperServiceTest, AClientGoneBeforeTheTunnelIsUpGetsNothingStarted) {
  HelperServiceImpl& s = service();
  const Reply r = activateAs(s, Caller{1000, [] { return true; }});
  EXPECT_FALSE(r.success || r.token);
  EXPECT_EQ(r.failure, sessionFailure("the client went away before the tunnel was up", 4));
  EXPECT_EQ(Peer::enginePid(s), 0);
  EXPECT_FALSE(Peer::watchdogArmed(s));
  EXPECT_EQ(serviceLines().back(), "activate: the client (PID 4242) went away before the tunnel was up — tearing it down");
  EXPECT_TRUE(eventually([&] { return ip({"-o", "link", "show"}).find("utun") == std::string::npos; }));
}

// A failed start names its cause: the engine's own error by its case, a
// file-system error by its errno; the text is the one logged.
TEST_F(HelperServiceTest, AFailedStartCarriesTheCodeOfItsCause) {
  HelperServiceImpl::Options o = options();
  o.manager.timings.tunWaitLimit = 0.3;
  HelperServiceImpl& s = service(o);
  const Caller alice{1000, nullptr};
  const auto failed = [&] {
    const Reply r = activateAs(s, alice);
    EXPECT_FALSE(r.success || r.token);
    EXPECT_EQ(serviceLines().back(), "activate: mihomo start failed: " + r.message());
    return r.failure.value_or(Failure{}).code;
  };
  EXPECT_EQ(activateAs(s, alice, "socks5://").failure, sessionFailure("Невалидный proxy URL", 1));
  setKnobs({{"exit_status", "1"}});
  EXPECT_EQ(failed(), (ErrorCode{"helper.MihomoError", 1}));
  setKnobs({{"create_tun", "0"}});
  EXPECT_EQ(failed(), (ErrorCode{"helper.MihomoError", 2}));
  setKnobs({});
  // A file where the engine's data folder should go.
  const std::string state = paths::rooted("/var/lib/tarn.CorvalethApp");
  std::filesystem::remove_all(state);
  writeFile(state, "");
  EXPECT_EQ(failed(), (ErrorCode{"helper.POSIXError", ENOTDIR}));
  std::filesystem::remove(enginePath_);
  EXPECT_EQ(failed(), (ErrorCode{"helper.MihomoError", 0}));
}

TEST_F(HelperServiceTest, TheWatchdogExpiresStrictlyAfterThirtySecondsWithoutAHeartbeat) {
  const std::pair<double, const char*> cases[] = {
      {30.0, nullptr},  // the session lives on
      {30.001, "watchdog: no heartbeat for 30s — forcing deactivate (PID 4242)"},
      {34.999, "watchdog: no heartbeat for 34s — forcing deactivate (PID 4242)"},
      {86400.5, "watchdog: no heartbeat for 86400s — forcing deactivate (PID 4242)"},
  };
  auto c = client();
  for (const auto& [silence, line] : cases) {
    const std::string token = activateOrFail(*c);
    const pid_t engine = Peer::enginePid(service());
    // With the image marked stale, the first expiry also exits the process.
    if (line == nullptr) service().markStaleImage();
    // The grace counts from the last heartbeat, not from the activation.
    clock_ = clock_ + 20;
    ASSERT_TRUE(c->heartbeat(token));
    logs_->clear();
    clock_ = clock_ + silence;
    Peer::checkHeartbeat(service());
    if (line == nullptr) {
      EXPECT_TRUE(logs_->records().empty());
      EXPECT_TRUE(c->heartbeat(token));
      continue;
    }
    EXPECT_EQ(logs_->records().at(0).level, LogLevel::error) << silence;
    EXPECT_EQ(serviceLines().front(), line);
    EXPECT_FALSE(c->status().activeProxyHost());
    EXPECT_FALSE(alive(engine));
    EXPECT_FALSE(Peer::watchdogArmed(service()));
  }
  EXPECT_TRUE(eventually([&] { return exits() == std::vector<int>{0}; }));
}

TEST_F(HelperServiceTest, AStaleImageWaitsForASessionHeardFromWithinThirtySecondsThenExitsWithoutTheLock) {
  auto c = client();
  const std::string token = activateOrFail(*c);
  const pid_t engine = Peer::enginePid(service());
  service().markStaleImage();
  clock_ = clock_ + 25;
  ASSERT_TRUE(c->heartbeat(token));
  clock_ = clock_ + 30;  // exactly 30 s since the heartbeat: still alive
  service().markStaleImage();
  EXPECT_TRUE(exits().empty());
  EXPECT_TRUE(alive(engine));
  const std::string postponed = "binary replaced on disk, but a session is live — postponing exit until it ends";
  EXPECT_THAT(serviceLines(), ElementsAre("startup cleanup: sweeping orphan utun-devices", "activate request from PID 4242",
                                          "activated: TUN routes ALL traffic via upstream 192.0.2.10", postponed, postponed));
  clock_ = clock_ + 0.001;  // dead in all but name
  service().markStaleImage();
  EXPECT_EQ(serviceLines().back(),
            "helper binary was replaced on disk — tearing down and exiting so launchd starts the updated one");
  EXPECT_FALSE(alive(engine));
  // Another request holds the lock from now on; the exit comes regardless.
  MutexLock held(Peer::lock(service()));
  EXPECT_TRUE(eventually([&] { return exits() == std::vector<int>{0}; }));
}

TEST_F(HelperServiceTest, NeitherAnUnusableURLNorRefusalsAfterAnUpdateWaitForTheServiceLock) {
  auto c = client();
  const std::string token = activateOrFail(*c);
  const pid_t engine = Peer::enginePid(service());
  trusted_ = false;
  replaced_ = true;
  logs_->clear();
  {
    // An engine start holds the lock; meanwhile an unusable URL and a flood
    // of refusals are answered at once.
    MutexLock held(Peer::lock(service()));
    auto reply = std::async(std::launch::async, [&] { return c->activate("socks5://:0", 4242); });
    ASSERT_EQ(reply.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "waited for the lock";
    const ActivateResult a = reply.get();
    EXPECT_FALSE(a.success || a.token);
    EXPECT_EQ(a.message, "Невалидный proxy URL");
    EXPECT_EQ(a.error, (ErrorCode{"helper.SessionError", 1}));
    ipc::PacketServer listener(ipc::PacketServer::Options{}, delegate());
    const auto t0 = std::chrono::steady_clock::now();
    for (int pid = 500; pid < 700; ++pid) {
      ipc::ServerConnection connection(ipc::UniqueFd(), ipc::Credentials{pid, 1000, 1000}, PeerProcess());
      EXPECT_FALSE(delegate().shouldAcceptNewConnection(listener, connection));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  }
  // The stale-image checks that queued behind the lock ran after it (one
  // at a time pending); each found the session live.
  const std::string postponed = "binary replaced on disk, but a session is live — postponing exit until it ends";
  EXPECT_TRUE(eventually([&] { return serviceLines().back() == postponed; }));
  const std::string request = "activate request from PID 4242", refused = "activate: invalid proxy URL";
  EXPECT_THAT(serviceLines(), ::testing::AnyOf(ElementsAre(request, refused, postponed),
                                               ElementsAre(request, refused, postponed, postponed)));
  EXPECT_TRUE(exits().empty());
  EXPECT_EQ(Peer::enginePid(service()), engine);
  EXPECT_TRUE(c->heartbeat(token));
  EXPECT_TRUE(c->deactivate(token).success);
  EXPECT_FALSE(Peer::watchdogArmed(service()));
}

}  // namespace
}  // namespace helper::test
