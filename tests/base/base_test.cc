// The small pieces the service is built from: the fair gate of admissions,
// the log limiter, the collection of children and the program runner (its
// output is the engine manager and end-to-end tests', through `ip`). (The
// exit watcher is proven by the end-to-end test, whose engine is restarted
// when it dies and only then.)
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/base/fair_gate.h"
#include "platform/log/logger.h"
#include "platform/os/os.h"
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
  for (const auto& entry : {std::pair{1000u, 0}, {1000u, 1}, {1000u, 2}, {1000u, 3}, {2000u, 9}}) {
    threads.emplace_back([&, key = entry.first, id = entry.second] {
      FairGate::Pass pass(gate, key, 5s);
      most = std::max(most.load(), ++inside);
      {
        std::lock_guard<std::mutex> guard(mutex);
        order.push_back(id);
      }
      std::this_thread::sleep_for(5ms);
      --inside;
    });
    std::this_thread::sleep_for(20ms);  // queued in this order
  }
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
}

TEST(LogLimiterTest, LetsAFewThroughAWindowAndCountsTheRest) {
  LogLimiter limiter(3, 0.2);
  size_t held = 99;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(limiter.allow(&held), i < 3) << i;
  std::this_thread::sleep_for(250ms);
  EXPECT_TRUE(limiter.allow(&held));
  EXPECT_EQ(held, 5u);  // said once, with the next line let through
  EXPECT_TRUE(limiter.allow(&held));
  EXPECT_EQ(held, 0u);
}

std::unique_ptr<ChildProcess> start(const char* script) {
  return test::startProgram(SpawnRequest("/bin/sh", {"-c", script}));
}

bool collected(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Children are collected once they end: their status is the exit code or
// the signal, a signal after the end is refused, and no zombie stays.
TEST(ChildProcessTest, AnEndedChildIsCollectedWithItsStatusAndTakesNoMoreSignals) {
  const struct {
    const char* script;
    int signal;  // sent while it runs; 0: none
    int status;
  } cases[] = {{"exit 7", 0, 7}, {"kill -9 $$", 0, SIGKILL}, {"exec sleep 60", SIGTERM, SIGTERM}};
  for (const auto& c : cases) {
    auto child = start(c.script);
    if (c.signal != 0) {
      EXPECT_FALSE(child->waitForExit(0.05));
      EXPECT_TRUE(child->isRunning());
      EXPECT_TRUE(child->sendSignal(c.signal));
    }
    // Polled without blocking until it has ended, then collected.
    for (int i = 0; i < 1000 && child->isRunning(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(child->terminationStatus(), c.status) << c.script;
    EXPECT_TRUE(child->waitForExit(0)) << c.script;
    EXPECT_FALSE(child->sendSignal(SIGKILL)) << c.script;
    EXPECT_TRUE(collected(child->pid())) << c.script;
  }
  // A blocking wait collects as well.
  auto child = start("exit 3");
  EXPECT_TRUE(child->waitForExit(-1));
  EXPECT_EQ(child->terminationStatus(), 3);
  EXPECT_TRUE(collected(child->pid()));
}

char state(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  const auto paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() ? '?' : line[paren + 2];
}

TEST(ChildProcessTest, AChildWhoseHandleWasDroppedIsCollectedWithTheNextOne) {
  const pid_t pid = start("exec sleep 60")->pid();  // the handle is gone at once
  ASSERT_EQ(::kill(pid, SIGKILL), 0);  // still our child: the pid cannot have been reused
  for (int i = 0; i < 1000 && state(pid) != 'Z'; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(state(pid), 'Z');
  start("exit 0")->waitForExit(10);
  EXPECT_TRUE(collected(pid));
}

std::string run(const std::string& path, const std::vector<std::string>& args) {
  Result<std::string> out = os().runCommand(path, args, std::nullopt);
  return out ? *out : "error " + std::to_string(out.error().code);
}

// Under the helper's systemd unit, RestrictNamespaces= makes clone3 fail
// with ENOSYS; programs must still start. The filter stays with the process,
// so the check runs in a child of its own.
[[noreturn]] void runWithClone3Refused() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    _exit(2);
  }
  if (syscall(SYS_clone3, nullptr, 0) != -1 || errno != ENOSYS) _exit(3);
  _exit(run("/bin/echo", {"started"}) == "started\n" ? 0 : 4);
}

TEST(CommandRunnerTest, ProgramsStartWhereClone3IsRefused) {
  EXPECT_EXIT(runWithClone3Refused(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace helper
