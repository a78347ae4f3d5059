// Children started through spawnChild are collected once they end: their
// status is the exit code or the signal, a signal after the end is refused,
// and no zombie stays, not even of a child whose handle was dropped while it
// ran.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/process/child_process.h"
#include "tests/support/run_command.h"

namespace helper {
namespace {

bool collected(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

char state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() ? '?' : line[paren + 2];
}

TEST(ChildProcessTest, AnEndedChildIsCollectedWithItsStatusAndTakesNoMoreSignals) {
  const struct {
    const char* script;
    int signal;  // sent while it runs; 0: none
    int status;
  } cases[] = {{"exit 7", 0, 7}, {"kill -9 $$", 0, SIGKILL}, {"exec sleep 60", SIGTERM, SIGTERM}};
  for (const auto& c : cases) {
    auto child = test::startProgram(SpawnRequest("/bin/sh", {"-c", c.script}));
    if (c.signal != 0) {
      EXPECT_FALSE(child->waitForExit(0.05));
      EXPECT_TRUE(child->isRunning());
      EXPECT_TRUE(child->sendSignal(c.signal));
    }
    // Polled without blocking until it has ended, then collected.
    for (int i = 0; i < 1000 && child->isRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(child->isRunning()) << c.script;
    EXPECT_EQ(child->terminationStatus(), c.status) << c.script;
    EXPECT_TRUE(child->waitForExit(0)) << c.script;
    EXPECT_FALSE(child->sendSignal(SIGKILL)) << c.script;
    EXPECT_TRUE(collected(child->pid())) << c.script;
  }
  // A blocking wait collects as well.
  auto child = test::startProgram(SpawnRequest("/bin/sh", {"-c", "exit 3"}));
  EXPECT_TRUE(child->waitForExit(-1));
  EXPECT_EQ(child->terminationStatus(), 3);
  EXPECT_TRUE(collected(child->pid()));
}

TEST(ChildProcessTest, AChildWhoseHandleWasDroppedIsCollectedWithTheNextOne) {
  const pid_t pid = test::startProgram(SpawnRequest("/bin/sleep", {"60"}))->pid();  // the handle is gone at once
  ASSERT_EQ(::kill(pid, SIGKILL), 0);  // still our child: the pid cannot have been reused
  for (int i = 0; i < 1000 && state(pid) != 'Z'; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(state(pid), 'Z');
  test::startProgram(SpawnRequest("/bin/true", {}))->waitForExit(10);
  EXPECT_TRUE(collected(pid));
}

}  // namespace
}  // namespace helper
