// The engine supervisor against real processes, files and TUN devices, in a
// private network namespace: what the fake system of the timing test cannot
// show (the kernel's devices and link announcements, file modes and errors,
// the file checked being the file run, capabilities, routes, and which
// processes are engines).
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "helper/config/engine_config.h"
#include "helper/protocol/mihomo_error.h"
#include "tests/engine/engine_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

bool processExists(pid_t pid) { return kill(pid, 0) == 0; }

mode_t fileMode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class MihomoManagerTest : public EngineFixture {};

TEST_F(MihomoManagerTest, CapturesTheDeviceAbsentFromTheSnapshot) {
  // Devices of other tunnel clients (one named just "utun"), one of which
  // vanishes during the wait.
  for (const char* dev : {"utun", "utun0", "utun2"}) ip({"tuntap", "add", "dev", dev, "mode", "tun"});
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
  EXPECT_THAT(mihomoLines(), ElementsAre("mihomo started, PID " + std::to_string(m.process()->pid()),
                                         "mihomo created TUN device utun1"));
  for (const char* dev : {"utun", "utun0"}) ip({"tuntap", "del", "dev", dev, "mode", "tun"});
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

// The configuration, the log and what the engine makes are its owner's
// only; the log is appended to; the caller's file-creation mask is back.
TEST_F(MihomoManagerTest, WritesTheConfigurationAndAppendsToTheLog) {
  setKnobs({{"say", "first run"}, {"touch", "engine-made"}});
  auto& m = manager();
  const mode_t before = umask(022);
  ASSERT_TRUE(m.start(upstream()));
  EXPECT_EQ(umask(022), 022) << "file-creation mask not restored";
  EXPECT_EQ(readFile(paths::rooted(kEngineConfigPath)), *makeConfig(upstream(), "utun0"));
  m.stop();
  setKnobs({{"say", "second run"}});
  ASSERT_TRUE(m.start(upstream()));
  m.stop();
  const std::string log = readFile(paths::rooted(kEngineLogPath));
  EXPECT_EQ(log.find("first run"), 0u) << log;
  EXPECT_LT(log.find("first run"), log.find("second run")) << log;
  for (const auto& path : {paths::rooted(kEngineConfigPath), paths::rooted(kEngineLogPath),
                           paths::rooted(kEngineDataDir) + "/engine-made"}) {
    EXPECT_EQ(fileMode(path), 0600u) << path;
  }
  umask(before);
}

// Only an executable engine file that only root can change, signed by our
// team, is ever launched; each refusal says why, and nothing is written or
// started.
TEST_F(MihomoManagerTest, AnEngineFileMissingUnusableOrNotOursIsNeverLaunched) {
  setKnobs({{"touch", "launched"}});
  const std::string original = tmp_.file("engine.orig"), bin = tmp_.file("bin");
  std::filesystem::copy_file(enginePath_, original);
  const std::string missing = "mihomo бинарник не найден: " + enginePath_ + ". Переустанови .pkg.";
  const struct {
    std::function<void()> breakIt;
    MihomoError::Case error;
    std::string reason;
  } cases[] = {
      {[&] { std::filesystem::remove(enginePath_); }, MihomoError::Case::binaryMissing, missing},
      {[&] { chmod(enginePath_.c_str(), 0644); }, MihomoError::Case::binaryMissing, missing},
      {[&] {
         std::filesystem::remove(enginePath_);
         std::filesystem::create_directory(enginePath_);
       },
       MihomoError::Case::binaryMissing, missing},
      {[&] {
         runCommand({builtProgram("tools/helper-codesign/helper-codesign"), "sign", "--identifier", "x", "--key",
                     binaryDir() + "/keys/other-team.key", enginePath_});
       },
       MihomoError::Case::startFailed, "mihomo Team ID mismatch ("},
      {[&] { chmod(bin.c_str(), 0775); }, MihomoError::Case::startFailed,
       ": the directory " + bin + " is writable by group or others"},
      {[&] {
         std::filesystem::rename(enginePath_, tmp_.file("real-engine"));
         std::filesystem::create_symlink(tmp_.file("real-engine"), enginePath_);
       },
       MihomoError::Case::startFailed, " is a symbolic link"},
  };
  auto& m = manager();
  const mode_t before = umask(022);
  for (const auto& c : cases) {
    c.breakIt();
    const Status started = m.start(upstream());
    ASSERT_FALSE(started) << "expected: " << c.reason;
    EXPECT_TRUE(MihomoError::is(started.error(), c.error)) << c.reason;
    EXPECT_THAT(started.error().message, HasSubstr(c.reason));
    EXPECT_FALSE(std::filesystem::exists(paths::rooted(kEngineConfigPath))) << c.reason;
    EXPECT_FALSE(std::filesystem::exists(paths::rooted(kEngineDataDir) + "/launched")) << c.reason;
    EXPECT_EQ(m.process(), nullptr);
    chmod(bin.c_str(), 0755);
    std::filesystem::remove_all(enginePath_);
    std::filesystem::remove(tmp_.file("real-engine"));
    std::filesystem::copy_file(original, enginePath_);
  }
  EXPECT_EQ(umask(before), 022);
  EXPECT_TRUE(mihomoLines().empty());
}

// The engine runs from the very file that was checked (a file renamed over
// the path after the check is not what starts), with only what a TUN device
// and routing need: no other capability, in any set, and no way to gain one.
TEST_F(MihomoManagerTest, TheFileCheckedRunsWithOnlyTheNetworkCapabilities) {
  setKnobs({});
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
  const std::string proc = "/proc/" + std::to_string(m.process()->pid());
  EXPECT_THAT(readFile(proc + "/cmdline"), HasSubstr(enginePath_));
  const std::string status = readFile(proc + "/status");
  // CAP_NET_BIND_SERVICE (10), CAP_NET_ADMIN (12), CAP_NET_RAW (13).
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
    EXPECT_THAT(status, HasSubstr(std::string(set) + ":\t0000000000003400\n")) << status;
  }
  EXPECT_THAT(status, HasSubstr("NoNewPrivs:\t1\n"));
  m.stop();
}

TEST_F(MihomoManagerTest, FileSystemFailuresPassThroughAndLeaveNothingBehind) {
  setKnobs({});
  auto& m = manager();
  const std::string root = paths::helperRoot();
  const auto errorOf = [&] {
    const Status started = m.start(upstream());
    EXPECT_EQ(m.process(), nullptr);
    return started ? Error("started") : started.error();
  };
  // The data directory cannot be created: a file stands in its way.
  writeFile(root + "/var", "not a directory");
  EXPECT_EQ(errorOf().code, ENOTDIR);
  std::filesystem::remove(root + "/var");
  // The configuration cannot be written: a directory has its name.
  std::filesystem::create_directories(paths::rooted(kEngineConfigPath));
  const Error written = errorOf();
  EXPECT_EQ(written.domain, "");
  EXPECT_EQ(written.code, EISDIR);
  std::filesystem::remove(paths::rooted(kEngineConfigPath));
  // The log cannot be opened.
  std::filesystem::create_directories(paths::rooted(kEngineLogPath));
  EXPECT_EQ(errorOf().message, "mihomo не стартанул: cannot open log file: Is a directory");
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
    }
    os_.clearLog();
    m.stop();
    EXPECT_EQ(m.process(), nullptr);
    EXPECT_FALSE(processExists(pid));
    EXPECT_EQ(ip({"route", "show", "dev", dev}), "");
    // The vanished device is not cleaned a second time by the sweep.
    EXPECT_THAT(mihomoLines(), ElementsAre("stopping mihomo (PID " + std::to_string(pid) + ")",
                                           diedBefore ? "mihomo exited (status 9)" : "mihomo exited (status 15)",
                                           "manual cleanup routes for " + dev));
  }
}

// An engine is a process running the engine's file, under any name: not
// another file with the same contents, nor a program whose arguments name
// the engine. The held one is spared; the others are gone when the sweep
// returns.
TEST_F(MihomoManagerTest, SweepKillsStrayEnginesAndSparesTheHeldOne) {
  setKnobs({});
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));
  const pid_t held = m.process()->pid();
  const std::string hardLink = tmp_.file("bin/hard-link"), copyPath = tmp_.file("bin/other");
  std::filesystem::create_hard_link(enginePath_, hardLink);
  std::filesystem::copy_file(enginePath_, copyPath);
  auto stray1 = startProgram(SpawnRequest(enginePath_, {"--orphan"}));
  auto stray2 = startProgram(SpawnRequest(hardLink, {"--orphan"}));
  auto copy = startProgram(SpawnRequest(copyPath, {"--orphan", enginePath_}));
  auto namer = startProgram(SpawnRequest("/bin/sh", {"-c", "sleep 60; :", enginePath_}));
  os_.clearLog();
  m.sweepOrphanUtuns();
  EXPECT_TRUE(stray1->waitForExit(0));
  EXPECT_TRUE(stray2->waitForExit(0));
  EXPECT_EQ(stray1->terminationStatus(), SIGKILL);
  EXPECT_EQ(m.process()->pid(), held);
  EXPECT_TRUE(m.isEngineRunning());
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
