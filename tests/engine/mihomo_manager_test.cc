// The engine supervisor against real processes and TUN devices, in a private
// network namespace: what the fake system of the timing test cannot show
// (the kernel's devices, the file checked being the file run, and which
// processes are engines). The real cleanup of routes and rules after an
// engine's SIGKILL is service_test's and the end-to-end test's.
#include <signal.h>

#include "tests/engine/engine_fixture.h"

namespace helper::test {
namespace {

class MihomoManagerTest : public EngineFixture {};

// The device is the first free utunN beside other tunnel clients' (one named
// just "utun"). The file checked is the file run: one renamed over the path
// after the check, which would never create a device, is not what starts.
TEST_F(MihomoManagerTest, AStartRunsTheFileCheckedOnTheFirstFreeDevice) {
  for (const char* dev : {"utun", "utun0"}) ip({"tuntap", "add", "dev", dev, "mode", "tun"});
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
  ASSERT_TRUE(m.start(upstream()));
  EXPECT_EQ(m.capturedUtun(), "utun1");
  for (const char* dev : {"utun", "utun0"}) ip({"tuntap", "del", "dev", dev, "mode", "tun"});
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
}

}  // namespace
}  // namespace helper::test
