// The engine supervisor against real processes and real TUN devices, in a
// private network namespace.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "helper/config/engine_config.h"
#include "helper/engine/mihomo_error.h"
#include "tests/engine/engine_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

bool processExists(pid_t pid) { return kill(pid, 0) == 0; }

class MihomoManagerTest : public EngineFixture {};

TEST_F(MihomoManagerTest, CapturesTheDeviceAbsentFromTheSnapshot) {
  // Devices of other tunnel clients (one named just "utun"), one of which
  // vanishes during the wait.
  ip({"tuntap", "add", "dev", "utun", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun0", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun2", "mode", "tun"});
  setKnobs({{"tun_delay_ms", "300"}});
  auto& m = manager();
  std::thread remover([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ip({"tuntap", "del", "dev", "utun2", "mode", "tun"});
  });
  ASSERT_TRUE(m.start(upstream()));
  remover.join();
  // The configuration named the first free number.
  EXPECT_EQ(m.capturedUtun(), "utun1");
  EXPECT_THAT(readFile(paths::rooted(kEngineConfigPath)), HasSubstr("\n  device: utun1\n"));
  EXPECT_TRUE(m.isEngineRunning());
  const auto lines = mihomoLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "mihomo started, PID " + std::to_string(m.process()->pid()));
  EXPECT_EQ(lines[1], "mihomo created TUN device utun1");
  ip({"tuntap", "del", "dev", "utun0", "mode", "tun"});
  ip({"tuntap", "del", "dev", "utun", "mode", "tun"});
}

TEST_F(MihomoManagerTest, TheNewDeviceIsNoticedWithoutWaitingOutThePoll) {
  setKnobs({{"stamp", "1"}, {"tun_delay_ms", "30"}});
  auto& m = manager(MihomoTimings{});
  ASSERT_TRUE(m.start(upstream()));
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const double returned = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
  double created = 0;
  std::string name;
  const std::string stamp = paths::rooted(kEngineDataDir) + "/tun-created";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(stamp) && !readFile(stamp).empty(); }));
  std::istringstream(readFile(stamp)) >> name >> created;
  ASSERT_EQ(name, m.capturedUtun());
  // The poll alone would take up to 250 ms; the link announcement ends the
  // pause as soon as the device exists.
  EXPECT_LT(returned - created, 0.1);
}

TEST_F(MihomoManagerTest, WritesTheConfigurationAndAppendsToTheLog) {
  setKnobs({{"say", "first run"}, {"touch", "engine-made"}});
  auto& m = manager();
  const mode_t before = umask(022);
  ASSERT_TRUE(m.start(upstream()));
  EXPECT_EQ(umask(022), 022) << "file-creation mask not restored";
  const std::string config = paths::rooted(kEngineConfigPath);
  struct stat st {};
  ASSERT_EQ(stat(config.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(readFile(config), *makeConfig(upstream(), "utun0"));
  // The engine inherited the mask: what it creates is its owner's only.
  ASSERT_EQ(stat((paths::rooted(kEngineDataDir) + "/engine-made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  m.stop();

  setKnobs({{"say", "second run"}});
  ASSERT_TRUE(m.start(upstream()));
  m.stop();
  const std::string log = readFile(paths::rooted(kEngineLogPath));
  EXPECT_EQ(log.find("first run"), 0u) << log;
  EXPECT_LT(log.find("first run"), log.find("second run")) << log;
  ASSERT_EQ(stat(paths::rooted(kEngineLogPath).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  umask(before);
}

// A timeout kills the engine, collects it and names the other devices,
// sorted (the waits and progress lines at the real limit are the fake
// system's to show).
TEST_F(MihomoManagerTest, TimeoutKillsTheEngineAndListsTheDevices) {
  ip({"tuntap", "add", "dev", "utun2", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun10", "mode", "tun"});
  setKnobs({{"create_tun", "0"}});
  auto timings = fastTimings();
  timings.tunWaitLimit = 1;
  auto& m = manager(timings);
  const Status started = m.start(upstream());
  ASSERT_FALSE(started);
  EXPECT_TRUE(MihomoError::is(started.error(), MihomoError::Case::tunNotCreated));
  EXPECT_THAT(started.error().message, HasSubstr("(активные интерфейсы: utun10, utun2)"));
  const auto lines = mihomoLines();
  const pid_t pid = std::stoi(lines.front().substr(lines.front().rfind(' ') + 1));
  EXPECT_FALSE(processExists(pid)) << "the engine was not killed and collected";
  EXPECT_EQ(m.process(), nullptr);
  EXPECT_EQ(lines.back(), "mihomo started but TUN not created within 1s — killing. utuns present: utun10,utun2");
  ip({"tuntap", "del", "dev", "utun2", "mode", "tun"});
  ip({"tuntap", "del", "dev", "utun10", "mode", "tun"});
}

TEST_F(MihomoManagerTest, MissingOrUnusableEngine) {
  auto& m = manager();
  const mode_t before = umask(022);
  const std::vector<std::function<void()>> breakIt = {
      [&] { std::filesystem::remove(enginePath_); },
      [&] { chmod(enginePath_.c_str(), 0644); },
      [&] { std::filesystem::remove(enginePath_); std::filesystem::create_directory(enginePath_); },
  };
  for (const auto& b : breakIt) {
    b();
    const Status started = m.start(upstream());
    ASSERT_FALSE(started);
    EXPECT_TRUE(MihomoError::is(started.error(), MihomoError::Case::binaryMissing));
    EXPECT_EQ(started.error().message, "mihomo бинарник не найден: " + enginePath_ + ". Переустанови .pkg.");
    EXPECT_FALSE(std::filesystem::exists(paths::rooted(kEngineConfigPath)));
    std::filesystem::remove_all(enginePath_);
    std::filesystem::copy_file(builtProgram("tests/engine/test_engine"), enginePath_);
    chmod(enginePath_.c_str(), 0755);
  }
  EXPECT_EQ(umask(before), 022);
  EXPECT_TRUE(mihomoLines().empty());
}

// Only an engine file that only root can change, signed by our team, is
// ever launched; each refusal says why, and nothing is written or started.
TEST_F(MihomoManagerTest, OnlyAnIntactEngineOfOurTeamThatOnlyRootCanChangeIsLaunched) {
  setKnobs({{"touch", "launched"}});
  const std::string signer = builtProgram("tools/helper-codesign/helper-codesign");
  const std::string original = tmp_.file("engine.orig");
  std::filesystem::copy_file(enginePath_, original);
  const std::string bin = tmp_.file("bin");
  const struct {
    std::function<void()> breakIt;
    std::string reason;
  } cases[] = {
      {[&] { runCommand({signer, "sign", "--identifier", "x", "--key", binaryDir() + "/keys/other-team.key", enginePath_}); },
       "mihomo Team ID mismatch ("},
      {[&] { runCommand({signer, "sign", "--identifier", "x", "--adhoc", enginePath_}); },
       "mihomo signing-style mismatch (ours="},
      {[&] { chmod(enginePath_.c_str(), 0757); }, " is writable by group or others"},
      {[&] { ASSERT_EQ(chown(enginePath_.c_str(), 65534, 0), 0); }, " is owned by uid 65534, not by root"},
      {[&] { chmod(bin.c_str(), 0775); }, ": the directory " + bin + " is writable by group or others"},
      {[&] {
         std::filesystem::rename(enginePath_, tmp_.file("real-engine"));
         std::filesystem::create_symlink(tmp_.file("real-engine"), enginePath_);
       },
       " is a symbolic link"},
  };
  auto& m = manager();
  for (const auto& c : cases) {
    c.breakIt();
    const Status started = m.start(upstream());
    ASSERT_FALSE(started) << "expected: " << c.reason;
    EXPECT_TRUE(MihomoError::is(started.error(), MihomoError::Case::startFailed));
    EXPECT_THAT(started.error().message, HasSubstr(c.reason));
    EXPECT_FALSE(std::filesystem::exists(paths::rooted(kEngineConfigPath)));
    EXPECT_FALSE(std::filesystem::exists(paths::rooted(kEngineDataDir) + "/launched"));
    EXPECT_EQ(m.process(), nullptr);
    chmod(bin.c_str(), 0755);
    std::filesystem::remove(enginePath_);
    std::filesystem::remove(tmp_.file("real-engine"));
    std::filesystem::copy_file(original, enginePath_);
  }
}

// The engine runs from the very file that was checked: a file renamed over
// the path after the check is not what starts.
TEST_F(MihomoManagerTest, TheFileCheckedIsTheFileLaunched) {
  setKnobs({});
  // Right after the engine file is opened for the check, another file is
  // renamed over its path.
  struct SwappingOs : EngineOs {
    std::string impostor;
    Result<codesign::RootImage> openRootImage(const std::string& path) override {
      Result<codesign::RootImage> image = Os::openRootImage(path);
      std::filesystem::copy_file("/bin/sleep", impostor);
      std::filesystem::rename(impostor, path);
      return image;
    }
  } swapping;
  swapping.own = os_.own;
  swapping.impostor = tmp_.file("bin/impostor");
  OsScope scope(swapping);
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));  // the impostor would never create a device
  EXPECT_TRUE(m.isEngineRunning());
  EXPECT_THAT(readFile("/proc/" + std::to_string(m.process()->pid()) + "/cmdline"), HasSubstr(enginePath_));
  m.stop();
}

// The engine keeps only what a TUN device and routing need: no other
// capability, not in any set, and no way to gain one.
TEST_F(MihomoManagerTest, TheEngineRunsWithOnlyTheNetworkCapabilities) {
  setKnobs({});
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));
  const std::string status = readFile("/proc/" + std::to_string(m.process()->pid()) + "/status");
  // CAP_NET_BIND_SERVICE (10), CAP_NET_ADMIN (12), CAP_NET_RAW (13).
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
    EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000003400\n")) << status;
  }
  EXPECT_THAT(status, HasSubstr("NoNewPrivs:\t1\n"));
}

TEST_F(MihomoManagerTest, FileSystemFailuresPassThroughAndRestoreTheMask) {
  setKnobs({});
  auto& m = manager();
  const mode_t before = umask(022);
  const std::string root = paths::helperRoot();
  auto failsWith = [&](int errorNumber) {
    const Status started = m.start(upstream());
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error().domain, "");
    EXPECT_EQ(started.error().code, errorNumber) << started.error().message;
  };
  // The data directory cannot be created: a file stands in its way.
  writeFile(root + "/var", "not a directory");
  failsWith(ENOTDIR);
  std::filesystem::remove(root + "/var");
  // The configuration cannot be written: a directory has its name.
  std::filesystem::create_directories(paths::rooted(kEngineConfigPath));
  failsWith(EISDIR);
  std::filesystem::remove(paths::rooted(kEngineConfigPath));
  // The log cannot be opened.
  std::filesystem::create_directories(paths::rooted(kEngineLogPath));
  EXPECT_EQ(m.start(upstream()).error().message, "mihomo не стартанул: cannot open log file: Is a directory");
  std::filesystem::remove(paths::rooted(kEngineLogPath));
  EXPECT_EQ(m.process(), nullptr);
  EXPECT_EQ(umask(before), 022);
  // No temporary files left beside the configuration.
  for (const auto& e : std::filesystem::directory_iterator(paths::rooted(kEngineDataDir))) {
    EXPECT_EQ(e.path().filename(), "config.yaml") << "left behind: " << e.path();
  }
}

// An engine that exits on SIGTERM, and one that died on its own before the
// stop: both end with the routes of their device removed once, and nothing
// held; a new start then relaunches.
TEST_F(MihomoManagerTest, StopOfAnEngineThatExitsAtOnceOrHasDied) {
  setKnobs({{"add_routes", "1"}});
  auto& m = manager();
  for (const bool diedBefore : {false, true}) {
    ASSERT_TRUE(m.start(upstream()));
    const std::string dev = *m.capturedUtun();
    ASSERT_TRUE(hasRoutes(dev));
    const pid_t pid = m.process()->pid();
    if (diedBefore) {
      ASSERT_EQ(kill(pid, SIGKILL), 0);
      ASSERT_TRUE(eventually([&] { return !m.isEngineRunning(); }));
      ASSERT_NE(m.process(), nullptr);
    }
    os_.clearLog();
    m.stop();
    EXPECT_EQ(m.process(), nullptr);
    EXPECT_FALSE(m.capturedUtun());
    EXPECT_FALSE(processExists(pid));
    EXPECT_EQ(ip({"route", "show", "dev", dev}), "");
    // The vanished device is not cleaned a second time by the sweep.
    EXPECT_THAT(mihomoLines(), ElementsAre("stopping mihomo (PID " + std::to_string(pid) + ")",
                                           diedBefore ? "mihomo exited (status 9)" : "mihomo exited (status 15)",
                                           "manual cleanup routes for " + dev));
  }
}

TEST_F(MihomoManagerTest, APersistentDeviceLeftByTheEngineIsCleanedTwice) {
  setKnobs({{"persist", "1"}, {"add_routes", "1"}});
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));
  const std::string dev = *m.capturedUtun();
  ASSERT_TRUE(hasRoutes(dev));
  os_.clearLog();
  m.stop();
  // The device outlived its engine: the routes through it are gone and it is down.
  EXPECT_EQ(ip({"route", "show", "dev", dev}), "");
  EXPECT_THAT(ip({"link", "show", "dev", dev}), ::testing::Not(HasSubstr(",UP")));
  const auto lines = mihomoLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "manual cleanup routes for " + dev), 2);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "orphan TUN " + dev + " still present after process kill, manual cleanup"),
            lines.end());
  ip({"tuntap", "del", "dev", dev, "mode", "tun"});
}

TEST_F(MihomoManagerTest, SweepKillsStrayEnginesAndSparesTheHeldOne) {
  setKnobs({});
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));
  const pid_t held = m.process()->pid();
  auto run = [](const std::string& path, std::vector<std::string> args) {
    return startProgram(SpawnRequest(path, std::move(args)));
  };
  // The engine file, once through a hard link of another name.
  const std::string hardLink = tmp_.file("bin/hard-link");
  std::filesystem::create_hard_link(enginePath_, hardLink);
  auto stray1 = run(enginePath_, {"--orphan"});
  auto stray2 = run(hardLink, {"--orphan"});
  // The same program as another file, and another program whose arguments
  // name the engine: not engines, never killed.
  const std::string otherPath = tmp_.file("bin/other");
  std::filesystem::copy_file(enginePath_, otherPath);
  auto copy = run(otherPath, {"--orphan", enginePath_});
  auto namer = run("/bin/sh", {"-c", "sleep 60; :", enginePath_});
  os_.clearLog();
  m.sweepOrphanUtuns();
  // Waited for: they are gone when the sweep returns.
  EXPECT_FALSE(processExists(stray1->pid()) && stray1->isRunning());
  EXPECT_TRUE(stray1->waitForExit(0));
  EXPECT_TRUE(stray2->waitForExit(0));
  EXPECT_EQ(stray1->terminationStatus(), SIGKILL);
  EXPECT_TRUE(m.isEngineRunning());
  EXPECT_EQ(m.process()->pid(), held);
  EXPECT_TRUE(copy->isRunning());
  EXPECT_TRUE(namer->isRunning());
  copy->sendSignal(SIGKILL);
  namer->sendSignal(SIGKILL);
  std::vector<std::string> kills;
  for (const auto& line : mihomoLines()) {
    if (line.rfind("found orphan", 0) == 0) kills.push_back(line);
  }
  EXPECT_THAT(kills, ::testing::UnorderedElementsAre(
                                 "found orphan mihomo PID " + std::to_string(stray1->pid()) + ", sending SIGKILL",
                                 "found orphan mihomo PID " + std::to_string(stray2->pid()) + ", sending SIGKILL"));
}

}  // namespace
}  // namespace helper::test
