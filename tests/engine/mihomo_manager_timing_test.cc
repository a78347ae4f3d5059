// The supervisor's waits, order of steps and commands, on a scripted system
// with a virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "helper/engine/engine_paths.h"
#include "helper/protocol/mihomo_error.h"
#include "helper/engine/mihomo_manager.h"
#include "platform/paths/paths.h"
#include "tests/support/test_os.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;

class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }

  // A new fake system in place of the last one.
  FakeOs& fresh() {
    manager_.reset();  // its child belongs to the old system
    scope_.reset();
    os_ = std::make_unique<FakeOs>();
    scope_ = std::make_unique<OsScope>(*os_);
    return *os_;
  }

  MihomoManager& manager() {
    manager_ = std::make_unique<MihomoManager>();
    return *manager_;
  }

  Status startWithDeviceAt(double seconds) {
    system().interfaces = [seconds](double elapsed) {
      std::vector<std::string> names{"lo", "utun2", "eth0", "utun10"};
      if (elapsed >= seconds - 1e-9) names.push_back("utun3");
      return names;
    };
    return manager().start(upstream_);
  }

  FakeOs& system() { return *os_; }
  std::vector<std::string> lines() const { return os_->messages("Mihomo"); }

  std::unique_ptr<FakeOs> os_;
  std::unique_ptr<OsScope> scope_;
  std::unique_ptr<MihomoManager> manager_;
  ProxyConfig upstream_{"192.0.2.1", 1080, {}, {}, ProxyKind::socks5};
};

// When the engine's device is seen: at the next poll, or at once on a link
// announcement; the start returns once the engine is quiet (here at the
// first two looks, 2 ms later). Either way the
// progress lines keep their five-second rhythm and list the devices sorted
// by byte value.
TEST_F(TimingTest, TheDeviceIsSeenAtTheNextPollOrAnnouncement) {
  const struct {
    std::optional<std::vector<double>> announcements;  // none: no subscription
    double deviceAt, seenAt;
  } cases[] = {
      {std::nullopt, 12.3, 12.5}, {std::vector<double>{3.1, 12.3}, 12.3, 12.3},  // an unrelated one first
  };
  for (const auto& c : cases) {
    fresh();
    system().clearLog();
    system().linkAnnouncements = c.announcements;
    ASSERT_TRUE(startWithDeviceAt(c.deviceAt));
    EXPECT_EQ(manager_->capturedUtun(), "utun3");
    EXPECT_NEAR(system().now - system().startedAt, c.seenAt + 0.002, 1e-9);
    EXPECT_THAT(lines(),
                ElementsAre("mihomo started, PID 4242", "waiting for TUN… 5s elapsed, utuns: utun10,utun2",
                            "waiting for TUN… 10s elapsed, utuns: utun10,utun2", "mihomo created TUN device utun3"));
    // A start while the engine runs changes nothing.
    const auto operations = system().fileOperations;
    EXPECT_TRUE(manager_->start(upstream_));
    EXPECT_EQ(system().fileOperations, operations);
    EXPECT_EQ(lines().back(), "start() called but mihomo already running");
  }
}

// Each step of a start comes only after the one before succeeded: a missing
// or refused engine file touches nothing, a host the configuration cannot
// name only creates the folders, and a log that cannot be opened or a failed
// launch come after every file. The engine is launched under the mask 077;
// the caller's mask is back after each.
TEST_F(TimingTest, EachStepOfAStartComesOnlyAfterTheOneBefore) {
  const std::string log = paths::rooted(kEngineLogPath);
  const std::vector<std::string> steps = {"mkdir " + paths::rooted(kEngineDataDir), "mkdir " + paths::rooted(kLogDir),
                                          "write " + paths::rooted(kEngineConfigPath) + " 384", "open " + log,
                                          "spawn " + std::string(FakeOs::kEnginePath) + " 63"};
  using Case = MihomoError::Case;
  const struct {
    std::function<void(FakeOs&, ProxyConfig&)> breakIt;
    size_t stepsTaken;
    Case kind;
    std::string error;
  } cases[] = {
      {[](FakeOs& os, ProxyConfig&) { os.engineMissing = true; }, 0, Case::binaryMissing,
       "mihomo бинарник не найден: " + std::string(FakeOs::kEnginePath) + ". Переустанови .pkg."},
      {[](FakeOs& os, ProxyConfig&) { os.engineRefused = Error("owned by a user"); }, 0, Case::startFailed,
       "mihomo не стартанул: mihomo binary refused: owned by a user — only root may be able to change it"},
      {[](FakeOs&, ProxyConfig& upstream) { upstream.host = "bad host"; }, 2, Case::startFailed,
       "mihomo не стартанул: "},
      {[&](FakeOs& os, ProxyConfig&) { os.failingFiles.emplace(log, Error("is a directory", EISDIR)); }, 4,
       Case::startFailed, "mihomo не стартанул: cannot open log file: Is a directory"},
      {[](FakeOs& os, ProxyConfig&) { os.spawnError = ENOEXEC; }, 5, Case::startFailed,
       "mihomo не стартанул: Process.run() failed: Exec format error"},
  };
  for (const auto& c : cases) {
    fresh();
    ProxyConfig upstream = upstream_;
    c.breakIt(system(), upstream);
    const Status started = manager().start(upstream);
    EXPECT_EQ(system().fileOperations, std::vector<std::string>(steps.begin(), steps.begin() + c.stepsTaken));
    EXPECT_EQ(system().mask, 022u);
    ASSERT_FALSE(started);
    EXPECT_TRUE(MihomoError::is(started.error(), c.kind)) << c.error;
    EXPECT_EQ(started.error().message.rfind(c.error, 0), 0u) << started.error().message;
    EXPECT_EQ(manager_->process(), nullptr);
    EXPECT_TRUE(lines().empty());
  }
}

TEST_F(TimingTest, WaitLimitCountsFromTheLaunch) {
  system().interfaces = [](double) { return std::vector<std::string>{"utun1", "utun0"}; };
  EXPECT_TRUE(MihomoError::is(manager().start(upstream_).error(), MihomoError::Case::tunNotCreated));
  EXPECT_GE(system().now - system().startedAt, 30.0);
  EXPECT_LT(system().now - system().startedAt, 30.26);
  EXPECT_EQ(manager_->process(), nullptr);
  EXPECT_THAT(system().childSignals[4242], ElementsAre(SIGKILL));
  EXPECT_EQ(lines().back(), "mihomo started but TUN not created within 30s — killing. utuns present: utun0,utun1");
}

// After its device appears the engine is given until it is quiet at two
// looks in a row, a millisecond apart, at most 20 ms. An engine that dies
// before that, or before its device appears (seen at the next poll), did
// not start: the start fails as soon as that is seen, and nothing is held.
TEST_F(TimingTest, TheStartReturnsWhenTheEngineHasSettledAndFailsWhenItDiesFirst) {
  const struct {
    double busyFor, exitsAt, deviceAt, returnsAt;  // seconds after the launch
  } cases[] = {
      {0, -1, 0.5, 0.502}, {0.5055, -1, 0.5, 0.507}, {1e9, -1, 0.5, 0.52}, {1e9, 0.51, 0.5, 0.51}, {0, 2.1, 5, 2.25}};
  for (const auto& c : cases) {
    fresh();
    system().linkAnnouncements = std::vector<double>{c.deviceAt};
    system().busyFor = c.busyFor;
    system().configureChild = [&c](FakeChild& child) { child.exitsAt = c.exitsAt < 0 ? -1 : 1000 + c.exitsAt; };
    const Status started = startWithDeviceAt(c.deviceAt);
    EXPECT_NEAR(system().now - 1000, c.returnsAt, 1e-9) << c.busyFor << " " << c.exitsAt;
    EXPECT_EQ(manager_->capturedUtun(), c.exitsAt < 0 ? std::optional<std::string>("utun3") : std::nullopt);
    if (c.exitsAt < 0) continue;
    EXPECT_EQ(started.error().message,
              "mihomo не стартанул: mihomo exited (status 1) — см. " + paths::rooted(kEngineLogPath));
    EXPECT_EQ(manager_->process(), nullptr);
    EXPECT_EQ(lines().back(), "mihomo exited prematurely with status 1");
  }
}

TEST_F(TimingTest, StopOfAnEngineThatSurvivesSigkill) {
  system().configureChild = [](FakeChild& c) {
    c.exitsOnSigterm = false;
    c.survivesSigkill = true;
  };
  ASSERT_TRUE(startWithDeviceAt(0));
  system().engines = {4242};
  system().exitDelay = 1;  // never within the pause: it survives SIGKILL
  system().clearLog();
  const double before = system().now;
  manager_->stop();
  EXPECT_THAT(system().childSignals[4242], ElementsAre(SIGTERM, SIGKILL));
  EXPECT_NEAR(system().now - before, 5 + 2 + 0.2, 0.11);
  EXPECT_THAT(lines(), ElementsAre("stopping mihomo (PID 4242)", "mihomo did not exit within 5s, sending SIGKILL",
                                   "mihomo still running after SIGKILL+2s — abandoning wait to avoid lock starvation",
                                   "manual cleanup routes for utun3", "found orphan mihomo PID 4242, sending SIGKILL",
                                   "orphan TUN utun3 still present after process kill, manual cleanup",
                                   "manual cleanup routes for utun3"));
  // The abandoned engine was no longer held, so the sweep killed it.
  EXPECT_THAT(system().killed, ElementsAre(std::make_pair(4242, SIGKILL)));
  EXPECT_EQ(manager_->process(), nullptr);
  EXPECT_FALSE(manager_->capturedUtun());
}

// An engine that exits within the grace is noticed at once: nothing waits
// out a poll, and a sweep that killed nothing does not pause. The cleanup
// runs every command even when each one fails, and the device, gone with
// its engine, is cleaned once.
TEST_F(TimingTest, AStopEndsWhenTheEngineExitsAndRunsEveryCleanupCommand) {
  system().configureChild = [](FakeChild& c) {
    c.exitsOnSigterm = false;
    c.exitsAt = 1000 + 1.337;  // virtual; exits with status 1 on its own
  };
  ASSERT_TRUE(startWithDeviceAt(0));
  system().commands.clear();
  system().failingCommands = {"/usr/sbin/ip"};
  system().interfaces = [](double) { return std::vector<std::string>{}; };
  system().clearLog();
  manager_->stop();
  EXPECT_NEAR(system().now, 1001.337, 1e-9);
  EXPECT_THAT(lines(),
              ElementsAre("stopping mihomo (PID 4242)", "mihomo exited (status 1)", "manual cleanup routes for utun3"));
  const std::vector<std::vector<std::string>> expected = {
      {"/usr/sbin/ip", "route", "del", "0.0.0.0/1", "dev", "utun3"},
      {"/usr/sbin/ip", "route", "del", "128.0.0.0/1", "dev", "utun3"},
      {"/usr/sbin/ip", "route", "del", "default", "dev", "utun3"},
      {"/usr/sbin/ip", "link", "set", "dev", "utun3", "down"},
      // Without a rule listing there is nothing to delete.
      {"/usr/sbin/ip", "-j", "-4", "rule", "show"},
      {"/usr/sbin/ip", "-j", "-6", "rule", "show"},
  };
  EXPECT_EQ(system().commands, expected);
}

// What an engine killed with SIGKILL leaves: its rules, at the pinned
// priorities, and its table. Exactly those go, in both families; a rule
// just outside the range, or a listing that is not JSON, leaves everything.
TEST_F(TimingTest, TheEnginesLeftoverRulesAndTableAreRemovedAndNothingElse) {
  const struct {
    std::string listing;
    std::vector<std::string> deleted;  // priorities, per family
  } cases[] = {
      {R"([{"priority":0,"table":"local"},{"priority":7100,"table":"7100"},{"priority":7101,"table":"main"},)"
       R"({"priority":7101,"goto":7110},{"priority":7110,"nop":null},{"priority":7099,"table":"7100"},)"
       R"({"priority":7111,"table":"x"},{"priority":32766,"table":"main"}])",
       {"7100", "7101", "7101", "7110"}},
      {"Error: not json", {}},
      {R"([{"priority":"7100"},{"table":"7100"},7100])", {}},
  };
  for (const auto& c : cases) {
    fresh();
    system().commandOutput["/usr/sbin/ip"] = c.listing;
    manager().sweepOrphanUtuns();
    std::vector<std::vector<std::string>> expected;
    for (const char* family : {"-4", "-6"}) {
      expected.push_back({"/usr/sbin/ip", "-j", family, "rule", "show"});
      for (const auto& p : c.deleted) expected.push_back({"/usr/sbin/ip", family, "rule", "del", "priority", p});
      expected.push_back({"/usr/sbin/ip", family, "route", "flush", "table", "7100"});
    }
    EXPECT_EQ(system().commands, expected) << c.listing;
    EXPECT_EQ(lines().empty(), c.deleted.empty()) << c.listing;
    system().clearLog();
  }
}

// The sweep kills the engines it finds, sparing the one held, and waits for
// them to end at most for the pause; with none killed it does not wait.
TEST_F(TimingTest, TheSweepKillsEveryEngineButTheHeldOneAndWaitsOnlyForThoseItKilled) {
  const struct {
    std::vector<pid_t> engines;
    double exitDelay;
    std::vector<std::pair<pid_t, int>> killed;
    double waited;
  } cases[] = {
      {{101, 202}, 0.01, {{101, SIGKILL}, {202, SIGKILL}}, 0.01},
      {{4242, 77}, 5, {{77, SIGKILL}}, 0.2},  // the held engine is spared; the wait is bounded
      {{4242}, 5, {}, 0},                     // nothing killed, nothing waited for
  };
  for (const auto& c : cases) {
    fresh();
    system().interfaces = [](double elapsed) {
      return elapsed >= 0 ? std::vector<std::string>{"utun0"} : std::vector<std::string>{};
    };
    auto& m = manager();
    ASSERT_TRUE(m.start(upstream_));  // holds pid 4242
    system().engines = c.engines;
    system().exitDelay = c.exitDelay;
    const double before = system().now;
    m.sweepOrphanUtuns();
    EXPECT_EQ(system().killed, c.killed);
    EXPECT_NEAR(system().now - before, c.waited, 1e-9);
  }
}

}  // namespace
}  // namespace helper::test
