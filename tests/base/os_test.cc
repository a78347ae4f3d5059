// The real system's program runner.
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

#include "platform/os/os.h"

namespace helper::test {
namespace {

std::string run(const std::string& path, const std::vector<std::string>& args) {
  Result<std::string> out = os().runCommand(path, args, std::nullopt);
  return out ? *out : "error: " + out.error().message;
}

TEST(CommandRunnerTest, OutputOfBothStreamsInterleavedAndUnchanged) {
  EXPECT_EQ(run("/bin/sh", {"-c", "echo out; echo err >&2; printf ' tail '"}), "out\nerr\n tail ");
  EXPECT_EQ(run("/bin/sh", {"-c", "echo only-stderr >&2; exit 3"}), "only-stderr\n");
  // No shell between us and the program: arguments reach it verbatim.
  EXPECT_EQ(run("/bin/echo", {"$HOME", "a b", "*"}), "$HOME a b *\n");
  // One with more output than a pipe holds does not block on it.
  EXPECT_EQ(run("/usr/bin/head", {"-c", "4000000", "/dev/zero"}).size(), 4000000u);
}

TEST(CommandRunnerTest, AProgramThatCannotStartIsAnErrorWithItsErrno) {
  const std::pair<const char*, int> cases[] = {{"/nonexistent/tool", ENOENT}, {"/", EACCES}};
  for (const auto& [path, error] : cases) {
    const Result<std::string> out = os().runCommand(path, {}, std::nullopt);
    ASSERT_FALSE(out) << path;
    EXPECT_EQ(out.error().code, error) << path;
  }
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
}  // namespace helper::test
