// The supervisor's waits, order of steps and commands, on a scripted system
// with a virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "helper/engine/engine_paths.h"
#include "helper/engine/mihomo_error.h"
#include "helper/engine/mihomo_manager.h"
#include "platform/paths/paths.h"
#include "tests/engine/fake_system.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;

class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override { setLogSink(logs_); }
  void TearDown() override { setLogSink(nullptr); }

  MihomoManager& manager(std::function<void(const std::string&)> signature = [](const std::string&) {}) {
    MihomoManager::Options options;
    options.enginePath = "/opt/test/tarn.CorvalethApp.mihomo";
    options.system = &system_;
    options.checkSignature = std::move(signature);
    manager_ = std::make_unique<MihomoManager>(options);
    return *manager_;
  }

  void startWithDeviceAt(double seconds) {
    system_.interfaces = [seconds](double elapsed) {
      std::vector<std::string> names{"lo", "utun2", "eth0", "utun10"};
      if (elapsed >= seconds - 1e-9) names.push_back("utun3");
      return names;
    };
    manager().start(upstream_);
  }

  std::vector<std::string> lines() const { return logs_->messages("Mihomo"); }

  FakeSystem system_;
  std::shared_ptr<MemoryLogSink> logs_ = std::make_shared<MemoryLogSink>();
  std::unique_ptr<MihomoManager> manager_;
  ProxyConfig upstream_{"192.0.2.1", 1080, {}, {}, ProxyKind::socks5};
};

// When the engine's device is seen: at the next poll, or at once on a link
// announcement; either way the progress lines keep their five-second rhythm
// and list the devices sorted by byte value.
TEST_F(TimingTest, TheDeviceIsSeenAtTheNextPollOrAnnouncement) {
  const struct {
    std::optional<std::vector<double>> announcements;  // none: no subscription
    double deviceAt, seenAt;
  } cases[] = {
      {std::nullopt, 12.3, 12.5},
      {std::vector<double>{3.1, 12.3}, 12.3, 12.3},  // an unrelated one first
      {std::vector<double>{}, 12.3, 12.5},            // subscribed, nothing announced
  };
  for (const auto& c : cases) {
    system_ = FakeSystem{};
    logs_->clear();
    system_.linkAnnouncements = c.announcements;
    startWithDeviceAt(c.deviceAt);
    EXPECT_EQ(manager_->capturedUtun(), "utun3");
    EXPECT_NEAR(system_.now - system_.startedAt, c.seenAt, 1e-9);
    EXPECT_THAT(lines(), ElementsAre("mihomo started, PID 4242", "waiting for TUN… 5s elapsed, utuns: utun10,utun2",
                                     "waiting for TUN… 10s elapsed, utuns: utun10,utun2",
                                     "mihomo created TUN device utun3"));
    EXPECT_EQ(system_.mask, 022u);
  }
}

TEST_F(TimingTest, StopNoticesAnEngineThatExitsWithinTheGraceAtOnce) {
  system_.configureChild = [](FakeChild& c) {
    c.exitsOnSigterm = false;
    c.exitsAt = 1000 + 1.337;  // virtual; exits with status 1 on its own
  };
  startWithDeviceAt(0);
  const double before = system_.now;
  manager_->stop();
  // The exit at 1.337 s plus the 0.2 s sweep pause: nothing waits out a poll.
  EXPECT_NEAR(system_.now - before, 1.337 - (before - 1000) + 0.2, 1e-9);
  const auto all = lines();
  EXPECT_NE(std::find(all.begin(), all.end(), "mihomo exited (status 1)"), all.end());
}

TEST_F(TimingTest, StepsRunInOrderAndTheSnapshotPrecedesTheLaunch) {
  startWithDeviceAt(0);
  const std::string data = paths::rooted(kEngineDataDir);
  EXPECT_THAT(system_.fileOperations,
              ElementsAre("mkdir " + data, "mkdir " + paths::rooted(kLogDir), "write " + paths::rooted(kEngineConfigPath),
                          "chmod " + paths::rooted(kEngineConfigPath), "open " + paths::rooted(kEngineLogPath),
                          "spawn /opt/test/tarn.CorvalethApp.mihomo"));
  // A device present at the launch poll is the engine's only if it was not in
  // the snapshot: here it appeared right after the snapshot was taken.
  EXPECT_EQ(manager_->capturedUtun(), "utun3");
}

TEST_F(TimingTest, RefusalsBeforeTheFilesTouchNothing) {
  // A refused signature comes before any file; a refused host before the
  // configuration is written.
  auto& m = manager([](const std::string& path) { throw MihomoError::startFailed("untrusted " + path); });
  EXPECT_THROW(m.start(upstream_), MihomoError);
  EXPECT_TRUE(system_.fileOperations.empty());
  upstream_.host = "bad host";
  EXPECT_THROW(manager().start(upstream_), MihomoError);
  for (const auto& op : system_.fileOperations) EXPECT_EQ(op.rfind("mkdir ", 0), 0u) << op;
  EXPECT_TRUE(lines().empty());
}

TEST_F(TimingTest, LaunchFailure) {
  system_.spawnError = ENOEXEC;
  try {
    manager().start(upstream_);
    FAIL();
  } catch (const MihomoError& e) {
    EXPECT_EQ(e.errorDescription(), "mihomo не стартанул: Process.run() failed: Exec format error");
  }
  EXPECT_EQ(manager_->process(), nullptr);
  EXPECT_EQ(system_.mask, 022u);
}

TEST_F(TimingTest, WaitLimitCountsFromTheLaunch) {
  system_.interfaces = [](double) { return std::vector<std::string>{"utun1", "utun0"}; };
  EXPECT_THROW(manager().start(upstream_), MihomoError);
  EXPECT_GE(system_.now - system_.startedAt, 30.0);
  EXPECT_LT(system_.now - system_.startedAt, 30.26);
  EXPECT_EQ(manager_->process(), nullptr);
  EXPECT_THAT(system_.childSignals[4242], ElementsAre(SIGKILL));
  const auto all = lines();
  EXPECT_EQ(all.back(), "mihomo started but TUN not created within 30s — killing. utuns present: utun0,utun1");
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& l) { return l.rfind("waiting for TUN", 0) == 0; }),
            5);
}

TEST_F(TimingTest, PrematureExitIsSeenAtTheNextPoll) {
  system_.configureChild = [](FakeChild& c) { c.exitsAt = 1002.1; };
  system_.now = 1000;
  try {
    manager().start(upstream_);
    FAIL();
  } catch (const MihomoError& e) {
    EXPECT_EQ(e.detail(), "mihomo exited (status 1) — см. " + paths::rooted(kEngineLogPath));
  }
  EXPECT_NEAR(system_.now, 1002.25, 1e-9);
}

TEST_F(TimingTest, StopOfAnEngineThatSurvivesSigkill) {
  system_.configureChild = [](FakeChild& c) {
    c.exitsOnSigterm = false;
    c.survivesSigkill = true;
  };
  startWithDeviceAt(0);
  system_.commands.clear();
  system_.commandOutput["/usr/bin/pgrep"] = "4242\n";
  logs_->clear();
  const double before = system_.now;
  manager_->stop();
  EXPECT_THAT(system_.childSignals[4242], ElementsAre(SIGTERM, SIGKILL));
  EXPECT_NEAR(system_.now - before, 5 + 2 + 0.2, 0.11);
  EXPECT_THAT(lines(), ElementsAre("stopping mihomo (PID 4242)", "mihomo did not exit within 5s, sending SIGKILL",
                                   "mihomo still running after SIGKILL+2s — abandoning wait to avoid lock starvation",
                                   "manual cleanup routes for utun3", "found orphan mihomo PID 4242, sending SIGKILL",
                                   "orphan TUN utun3 still present after process kill, manual cleanup",
                                   "manual cleanup routes for utun3"));
  // The abandoned engine was no longer held, so the sweep killed it.
  EXPECT_THAT(system_.killed, ElementsAre(std::make_pair(4242, SIGKILL)));
  EXPECT_EQ(manager_->process(), nullptr);
  EXPECT_FALSE(manager_->capturedUtun());
}

TEST_F(TimingTest, RouteCleanupRunsEveryCommandEvenWhenOneFails) {
  startWithDeviceAt(0);
  system_.commands.clear();
  system_.failingCommands = {"/usr/sbin/ip"};
  system_.interfaces = [](double) { return std::vector<std::string>{}; };
  manager_->stop();
  const std::vector<std::vector<std::string>> expected = {
      {"/usr/sbin/ip", "route", "del", "0.0.0.0/1", "dev", "utun3"},
      {"/usr/sbin/ip", "route", "del", "128.0.0.0/1", "dev", "utun3"},
      {"/usr/sbin/ip", "route", "del", "default", "dev", "utun3"},
      {"/usr/sbin/ip", "link", "set", "dev", "utun3", "down"},
      {"/usr/bin/pgrep", "-f", "/opt/test/tarn.CorvalethApp.mihomo"},
  };
  EXPECT_EQ(system_.commands, expected);
}

TEST_F(TimingTest, OrphanKill) {
  struct Case {
    std::string output;
    bool pgrepMissing;
    std::vector<std::pair<pid_t, int>> killed;
  } cases[] = {
      {"", false, {}},
      {"101\n202\n", false, {{101, SIGKILL}, {202, SIGKILL}}},
      {"4242\n77\n", false, {{77, SIGKILL}}},  // the held engine is spared
      {"0\n-5\n 12\nword\n+123\r\n\n", false, {{123, SIGKILL}}},
      {"101\n", true, {}},
  };
  for (const auto& c : cases) {
    system_ = FakeSystem{};
    system_.interfaces = [](double elapsed) {
      return elapsed >= 0 ? std::vector<std::string>{"utun0"} : std::vector<std::string>{};
    };
    auto& m = manager();
    m.start(upstream_);  // holds pid 4242
    system_.commandOutput["/usr/bin/pgrep"] = c.output;
    if (c.pgrepMissing) system_.failingCommands = {"/usr/bin/pgrep"};
    system_.killed.clear();
    m.sweepOrphanUtuns();
    EXPECT_EQ(system_.killed, c.killed) << c.output;
  }
}

TEST(ProcessIdParsingTest, ReadsOneSignedDecimalPerLine) {
  const std::pair<std::string, std::vector<int32_t>> cases[] = {
      {"", {}},
      {"12\n34\n", {12, 34}},
      {"+123", {123}},
      {"-7\n0", {-7, 0}},
      {" 12\n12 \nabc\n1a\n+\n-\n++1\n", {}},
      {"2147483647\n2147483648\n-2147483648\n-2147483649", {2147483647, -2147483648}},
      {"1\r\n2\r3\v4\f5\u0085" "6\u2028" "7\u2029" "8", {1, 2, 3, 4, 5, 6, 7, 8}},
      {"\n\n9\n\n", {9}},
      {"99999999999999999999", {}},
      {"1\xff\n2", {2}},
  };
  for (const auto& [text, ids] : cases) EXPECT_EQ(MihomoManager::parseProcessIds(text), ids) << text;
}

}  // namespace
}  // namespace helper::test
