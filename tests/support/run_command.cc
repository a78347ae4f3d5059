#include "tests/support/run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/base/unique_fd.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper::test {
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input, double timeoutSeconds,
                         int inputFd) {
  // The output goes to memory files, so that however much the program
  // writes it never blocks, and whatever it leaves running does not hold
  // the result up.
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  UniqueFd readEnd(in[0]), writeEnd(in[1]);
  const UniqueFd out(memfd_create("out", MFD_CLOEXEC)), err(memfd_create("err", MFD_CLOEXEC));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFd != 0) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.get(), 2);
  posix_spawn_file_actions_adddup2(&actions, readEnd.get(), inputFd);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  readEnd.reset();
  CommandResult result;
  if (rc != 0) {
    result.err = "spawn failed";
    return result;
  }
  // The input is small in every test: it fits in the pipe at once. A
  // program that does not read it all must not end this one.
  signal(SIGPIPE, SIG_IGN);
  (void)!write(writeEnd.get(), input.data(), input.size());
  writeEnd.reset();
  const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  pollfd ended{pidfd.get(), POLLIN, 0};
  int polled;
  do polled = poll(&ended, 1, static_cast<int>(std::ceil(timeoutSeconds * 1000)));
  while (polled < 0 && errno == EINTR);
  if (polled != 1) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readFile("/proc/self/fd/" + std::to_string(out.get()));
  result.err = readFile("/proc/self/fd/" + std::to_string(err.get()));
  return result;
}

std::string builtProgram(const std::string& relativePath) { return binaryDir() + "/" + relativePath; }

std::unique_ptr<ChildProcess> startProgram(const SpawnRequest& request) {
  Result<std::unique_ptr<ChildProcess>> child = spawnChild(request);
  if (!child) {
    std::fprintf(stderr, "%s\n", child.error().message.c_str());
    std::abort();
  }
  return std::move(*child);
}

}  // namespace helper::test
