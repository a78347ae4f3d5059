// The command runner and the interface inventory, with real programs and
// real devices in the test's own network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <iterator>
#include <system_error>

#include "helper/engine/mihomo_manager.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper::test {
namespace {

TEST(CommandRunnerTest, OutputOfBothStreamsInterleavedAndUnchanged) {
  EXPECT_EQ(MihomoManager::runShellSync("/bin/sh", {"-c", "echo out; echo err >&2; printf ' tail '"}),
            "out\nerr\n tail ");
  EXPECT_EQ(MihomoManager::runShellSync("/bin/sh", {"-c", "echo only-stderr >&2; exit 3"}), "only-stderr\n");
  // No shell between us and the program: arguments reach it verbatim.
  EXPECT_EQ(MihomoManager::runShellSync("/bin/echo", {"$HOME", "a b", "*"}), "$HOME a b *\n");
}

TEST(CommandRunnerTest, InvalidUtf8GivesTheEmptyText) {
  EXPECT_EQ(MihomoManager::runShellSync("/usr/bin/printf", {"ok\\377"}), "");
  EXPECT_EQ(MihomoManager::runShellSync("/usr/bin/printf", {"\\320\\257"}), "Я");
}

TEST(CommandRunnerTest, AChattyCommandDoesNotBlockOnAFullPipe) {
  const auto out = MihomoManager::runShellSync("/usr/bin/head", {"-c", "4000000", "/dev/zero"});
  EXPECT_EQ(out.size(), 4000000u);
}

TEST(CommandRunnerTest, AProgramThatCannotStartThrows) {
  EXPECT_THROW(MihomoManager::runShellSync("/nonexistent/tool", {}), std::system_error);
  EXPECT_THROW(MihomoManager::runShellSync("/etc/hostname", {}), std::system_error);
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
  _exit(MihomoManager::runShellSync("/bin/echo", {"started"}) == "started\n" ? 0 : 4);
}

TEST(CommandRunnerTest, ProgramsStartWhereClone3IsRefused) {
  EXPECT_EXIT(runWithClone3Refused(), ::testing::ExitedWithCode(0), "");
}

TEST(InterfaceInventoryTest, OnlyNamesBeginningWithUtun) {
  HELPER_REQUIRE_PRIVATE_NETNS();
  auto ip = [](std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/ip");
    const auto r = runCommand(args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  };
  ip({"tuntap", "add", "dev", "utun0", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun1", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun10", "mode", "tun"});
  ip({"tuntap", "add", "dev", "xutun0", "mode", "tap"});
  ip({"tuntap", "add", "dev", "UTUN5", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utunnel", "mode", "tap"});
  EXPECT_THAT(MihomoManager::listUtunInterfaces(),
              ::testing::ElementsAre("utun0", "utun1", "utun10", "utunnel"));
  for (const char* name : {"utun0", "utun1", "utun10", "xutun0", "UTUN5", "utunnel"}) ip({"link", "del", name});
  EXPECT_TRUE(MihomoManager::listUtunInterfaces().empty());
}

}  // namespace
}  // namespace helper::test
