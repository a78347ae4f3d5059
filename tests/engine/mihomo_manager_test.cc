// The engine supervisor against real processes, files and TUN devices, in a
// private network namespace: what the fake system of the timing test cannot
// show (the kernel's devices and link announcements, file modes and errors,
// the file checked being the file run, routes and rules, and which
// processes are engines).
#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include "helper/config/engine_config.h"
#include "helper/protocol/mihomo_error.h"
#include "tests/engine/engine_fixture.h"

namespace helper::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class MihomoManagerTest : public EngineFixture {};

// The device is the first free utunN beside other tunnel clients' (one named
// just "utun"), noticed by its link announcement without waiting out the
// poll. The file checked is the file run: one renamed over the path after
// the check, which would never create a device, is not what starts. The
// configuration is the owner's only, the log is appended to, the engine runs
// with the mask 077 (what it creates is its owner's only) and the caller's
// mask is back after.
TEST_F(MihomoManagerTest, AStartRunsTheFileCheckedOnTheFirstFreeDeviceWithPrivateFiles) {
  for (const char* dev : {"utun", "utun0"}) ip({"tuntap", "add", "dev", dev, "mode", "tun"});
  setKnobs({{"stamp", "1"}, {"tun_delay_ms", "30"}});
  const std::string config = paths::rooted(kEngineConfigPath), log = paths::rooted(kEngineLogPath);
  std::filesystem::create_directories(paths::rooted(kLogDir));
  writeFile(log, "earlier run\n");
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
  auto& m = manager(MihomoTimings{});
  const mode_t before = umask(022);
  ASSERT_TRUE(m.start(upstream()));
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_EQ(umask(before), 022) << "file-creation mask not restored";
  EXPECT_EQ(m.capturedUtun(), "utun1");
  EXPECT_THAT(swapping.messages("Mihomo"), ElementsAre("mihomo started, PID " + std::to_string(m.process()->pid()),
                                                       "mihomo created TUN device utun1"));
  // The poll alone would take up to 250 ms.
  const std::string stamp = paths::rooted(kEngineDataDir) + "/tun-created";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(stamp) && !readFile(stamp).empty(); }));
  double created = 0;
  std::string name;
  std::istringstream(readFile(stamp)) >> name >> created;
  EXPECT_EQ(name, "utun1");
  EXPECT_LT(static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9 - created, 0.1);
  EXPECT_EQ(readFile(config), *makeConfig(upstream(), "utun1"));
  EXPECT_TRUE(eventually([&] { return readFile(log) == "earlier run\ntest engine: created utun1\n"; }))
      << readFile(log);
  EXPECT_EQ(std::filesystem::status(config).permissions(), std::filesystem::perms(0600));
  EXPECT_THAT(readFile("/proc/" + std::to_string(m.process()->pid()) + "/status"), HasSubstr("\nUmask:\t0077\n"));
  for (const char* dev : {"utun", "utun0"}) ip({"tuntap", "del", "dev", dev, "mode", "tun"});
}

// Why an engine cannot be launched is said, by the engine's own error or by
// the errno of the file-system step that failed, and nothing is launched or
// left half-written: an engine file missing, not executable or not a file;
// a file where the data folder goes; a folder where the configuration or
// the log goes.
TEST_F(MihomoManagerTest, AStartThatCannotLaunchSaysWhyAndLeavesNothingBehind) {
  setKnobs({});
  const std::string original = tmp_.file("engine.orig");
  std::filesystem::copy_file(enginePath_, original);
  const Error missing("mihomo бинарник не найден: " + enginePath_ + ". Переустанови .pkg.",
                      static_cast<int>(MihomoError::Case::binaryMissing), MihomoError::kDomain);
  const struct {
    std::function<void()> breakIt;
    Error error;  // a file-system error's message only by its end
  } cases[] = {
      {[&] { std::filesystem::remove(enginePath_); }, missing},
      {[&] { chmod(enginePath_.c_str(), 0644); }, missing},
      {[&] {
         std::filesystem::remove(enginePath_);
         std::filesystem::create_directory(enginePath_);
       },
       missing},
      {[&] { writeFile(paths::helperRoot() + "/var", ""); }, Error(": Not a directory", ENOTDIR)},
      {[&] { std::filesystem::create_directories(paths::rooted(kEngineConfigPath)); },
       Error(": Is a directory", EISDIR)},
      {[&] { std::filesystem::create_directories(paths::rooted(kEngineLogPath)); },
       Error("mihomo не стартанул: cannot open log file: Is a directory",
             static_cast<int>(MihomoError::Case::startFailed), MihomoError::kDomain)},
  };
  auto& m = manager();
  const std::string data = paths::rooted(kEngineDataDir);
  for (const auto& c : cases) {
    c.breakIt();
    const Status started = m.start(upstream());
    ASSERT_FALSE(started) << c.error.message;
    EXPECT_TRUE(started.error().message.ends_with(c.error.message)) << started.error().message;
    EXPECT_EQ(started.error().code, c.error.code) << c.error.message;
    EXPECT_EQ(started.error().domain, c.error.domain) << c.error.message;
    EXPECT_EQ(m.process(), nullptr);
    // No temporary file left beside the configuration.
    std::error_code absent;
    for (const auto& e : std::filesystem::directory_iterator(data, absent)) {
      EXPECT_EQ(e.path().filename(), "config.yaml") << c.error.message;
    }
    std::filesystem::remove_all(enginePath_);
    std::filesystem::copy_file(original, enginePath_);
    for (const auto& entry : std::filesystem::directory_iterator(paths::helperRoot())) {
      std::filesystem::remove_all(entry.path());
    }
  }
  EXPECT_TRUE(mihomoLines().empty());
}

// What a killed engine leaves: its persistent device with routes through it,
// and a rule of its automatic routing. The stop takes down the device and
// removes the routes and the rule; the sweep finds the device still there
// and cleans it once more.
TEST_F(MihomoManagerTest, StopOfAKilledEngineRemovesItsRoutesAndRules) {
  setKnobs({{"persist", "1"}, {"add_routes", "1"}});
  auto& m = manager();
  ASSERT_TRUE(m.start(upstream()));
  const std::string dev = *m.capturedUtun(), priority = std::to_string(kEngineRuleIndex);
  ASSERT_TRUE(hasRoutes(dev));
  ip({"rule", "add", "priority", priority, "table", std::to_string(kEngineRouteTable)});
  const pid_t pid = m.process()->pid();
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(eventually([&] { return !m.isEngineRunning(); }));
  os_.clearLog();
  m.stop();
  EXPECT_EQ(m.process(), nullptr);
  EXPECT_EQ(ip({"route", "show", "dev", dev}), "");
  EXPECT_THAT(ip({"link", "show", "dev", dev}), Not(HasSubstr(",UP")));
  EXPECT_THAT(ip({"rule", "show"}), Not(HasSubstr(priority + ":")));
  EXPECT_THAT(mihomoLines(),
              ElementsAre("stopping mihomo (PID " + std::to_string(pid) + ")", "mihomo exited (status 9)",
                          "manual cleanup routes for " + dev,
                          "orphan TUN " + dev + " still present after process kill, manual cleanup",
                          "manual cleanup routes for " + dev, "removing 1 IPv4 rules the engine left behind"));
  ip({"tuntap", "del", "dev", dev, "mode", "tun"});
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
  auto namer = startProgram(SpawnRequest("/bin/sh", {"-c", "sleep 10; :", enginePath_}));
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
  std::vector<std::string> kills = mihomoLines();
  std::erase_if(kills, [](const std::string& line) { return !line.starts_with("found orphan"); });
  EXPECT_THAT(kills, ::testing::UnorderedElementsAre(
                         "found orphan mihomo PID " + std::to_string(stray1->pid()) + ", sending SIGKILL",
                         "found orphan mihomo PID " + std::to_string(stray2->pid()) + ", sending SIGKILL"));
}

}  // namespace
}  // namespace helper::test
