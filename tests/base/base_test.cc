// The small concurrency and logging pieces the service is built from: the
// fair gate of admissions, the log limiter, the exit watcher.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/fair_gate.h"
#include "platform/log/logger.h"
#include "platform/process/child_process.h"
#include "platform/process/exit_watcher.h"
#include "tests/support/run_command.h"

namespace helper {
namespace {

using namespace std::chrono_literals;

// One key with many waiters does not keep another key's single waiter
// behind all of them: turns alternate between the keys with waiters.
TEST(FairGateTest, KeysTakeTurnsAndNoMoreThanTheCapacityIsInside) {
  FairGate gate(1);
  ASSERT_TRUE(gate.enter(0, 1s));  // holds the gate while the others queue
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> inside{0}, most{0};
  std::vector<std::thread> threads;
  auto waiter = [&](std::uint32_t key, int id) {
    threads.emplace_back([&, key, id] {
      FairGate::Pass pass(gate, key, 5s);
      const int now = ++inside;
      most = std::max(most.load(), now);
      {
        std::lock_guard<std::mutex> guard(mutex);
        order.push_back(id);
      }
      std::this_thread::sleep_for(5ms);
      --inside;
    });
    std::this_thread::sleep_for(20ms);  // queued in this order
  };
  for (int i = 0; i < 4; ++i) waiter(1000, i);  // a user with many
  waiter(2000, 9);                               // another user, last in line
  gate.leave();
  for (auto& t : threads) t.join();
  EXPECT_EQ(most, 1);
  // 0 was first in line, then the other user's turn.
  EXPECT_EQ(order, (std::vector<int>{0, 9, 1, 2, 3}));
  // A full gate turns a caller away once its time is up.
  ASSERT_TRUE(gate.enter(7, 1s));
  EXPECT_FALSE(gate.enter(8, 30ms));
  gate.leave();
  EXPECT_TRUE(gate.enter(8, 30ms));
  gate.leave();
}

TEST(LogLimiterTest, LetsAFewThroughAWindowAndCountsTheRest) {
  LogLimiter limiter(3, 0.2);
  size_t held = 99;
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(limiter.allow(&held));
    EXPECT_EQ(held, 0u);
  }
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(limiter.allow(&held));
  std::this_thread::sleep_for(250ms);
  EXPECT_TRUE(limiter.allow(&held));
  EXPECT_EQ(held, 5u);  // said once, with the next line let through
  EXPECT_TRUE(limiter.allow(&held));
  EXPECT_EQ(held, 0u);
}

std::unique_ptr<ChildProcess> sleeper() { return helper::test::startProgram(SpawnRequest("/bin/sleep", {"60"})); }

// The watcher calls back when the watched process ends, and only for the
// process it watches at that moment.
TEST(ExitWatcherTest, CallsBackOnceForTheProcessItWatches) {
  ExitWatcher watcher("test-watch");
  std::atomic<int> first{0}, second{0};
  auto a = sleeper(), b = sleeper();
  watcher.watch(a->pidfd(), [&] { ++first; });
  watcher.watch(b->pidfd(), [&] { ++second; });  // replaces a
  a->sendSignal(SIGKILL);
  a->waitForExit(-1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(first, 0);
  b->sendSignal(SIGKILL);
  for (int i = 0; i < 200 && second == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(second, 1);
  b->waitForExit(-1);
  auto c = sleeper();
  watcher.watch(c->pidfd(), [&] { ++first; });
  watcher.clear();
  c->sendSignal(SIGKILL);
  c->waitForExit(-1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(first, 0);
}

}  // namespace
}  // namespace helper
