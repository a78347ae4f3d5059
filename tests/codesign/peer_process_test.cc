// PeerProcess, and the guarantee it exists for: a peer whose pid is reused
// after it exits is never judged by the new process's image.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "helper/codesign/code_sign_validator.h"
#include "platform/codesign/code_file.h"
#include "tests/codesign/codesign_support.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper {
namespace {

using namespace test;

TEST(PeerProcessTest, OwnsItsPidfdAndKnowsWhenItsProcessExits) {
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("p"), unsignedCode());
  RunningPeer child(dir.file("p"));
  PeerProcess a = child.peer();
  const int fd = a.pidfd();
  const auto viaPidfd = PeerProcess::fromPidfd(::dup(fd));
  ASSERT_TRUE(viaPidfd);
  EXPECT_EQ(viaPidfd->pid(), child.pid());

  PeerProcess b = std::move(a);
  EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
  EXPECT_TRUE(b.running());
  { PeerProcess gone = std::move(b); }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed with its last owner

  child.stop();
  EXPECT_FALSE(viaPidfd->running());
  EXPECT_FALSE(PeerProcess::fromPid(child.pid()));
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_FALSE(PeerProcess::fromPidfd(pipeFds[0]));  // not a pidfd
  ::close(pipeFds[1]);
}

// Starts `program` as a child with exactly the pid `pid` (clone3 with
// set_tid, which needs CAP_SYS_ADMIN or CAP_CHECKPOINT_RESTORE). Returns the
// pid, or -1 with errno set. The child's stdin is `stdinFd`.
pid_t spawnWithPid(pid_t pid, const std::string& program, int stdinFd) {
  pid_t tid = pid;
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<std::uint64_t>(&tid);
  args.set_tid_size = 1;
  const long rc = ::syscall(SYS_clone3, &args, sizeof args);
  if (rc == 0) {
    ::dup2(stdinFd, STDIN_FILENO);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execve(program.c_str(), argv, environ);
    ::_exit(127);
  }
  return static_cast<pid_t>(rc);
}

TEST(PeerProcessTest, AReusedPidIsNotTheOldPeer) {
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("intruder"), unsignedCode());
  makeSignedCopy(peerProgram(), dir.file("app"), teamSigned("tarn.CorvalethApp", testTeamKey()));

  // An unsigned intruder connects and exits; its pid then goes to our own,
  // signed application. A pid-only check would now read the application's
  // image and accept the intruder's connection.
  for (int attempt = 0; attempt < 5; ++attempt) {
    RunningPeer intruder(dir.file("intruder"));
    const PeerProcess stale = intruder.peer();
    const pid_t pid = intruder.pid();
    intruder.stop();

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t app = spawnWithPid(pid, dir.file("app"), fds[0]);
    const int spawnError = errno;
    ::close(fds[0]);
    if (app < 0) {
      ::close(fds[1]);
      if (spawnError == EEXIST) continue;  // another process took the pid first; go again
      HELPER_SKIP_UNLESS(std::string("cannot start a process with a chosen pid (clone3 "
                                     "set_tid needs CAP_SYS_ADMIN): ") +
                         std::strerror(spawnError));
    }
    ASSERT_EQ(app, pid);
    // Wait until the child runs the application (not the test program).
    for (int i = 0; i < 200; ++i) {
      const auto e = codesign::evaluateFile("/proc/" + std::to_string(pid) + "/exe");
      if (e.identifier() == std::optional<std::string>("tarn.CorvalethApp")) break;
      ::usleep(5000);
    }
    ASSERT_EQ(codesign::evaluateFile("/proc/" + std::to_string(pid) + "/exe").identifier(),
              std::optional<std::string>("tarn.CorvalethApp"));

    {
      LogCapture log;
      EXPECT_FALSE(CodeSignValidator::validate(stale));
      EXPECT_EQ(log.lines(),
                (std::vector<std::string>{
                    "error: SecCodeCopyGuestWithAttributes(audit_token) failed: -67065",
                    "error: rejecting client (PID " + std::to_string(pid) +
                        "): cannot read client signing info"}));
    }
    // The application itself, pinned by its own pidfd, is served.
    {
      auto fresh = PeerProcess::fromPid(pid);
      ASSERT_TRUE(fresh);
      LogCapture log;
      EXPECT_TRUE(CodeSignValidator::validate(*fresh));
    }
    ::close(fds[1]);
    int status = 0;
    ::waitpid(app, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return;
  }
  FAIL() << "the freed pid was taken by another process five times in a row";
}

}  // namespace
}  // namespace helper
