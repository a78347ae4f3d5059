#include "tests/support/run_command.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/base/clock.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper::test {
namespace {


}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         double timeoutSeconds, int inputFd) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFd == 0) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Last, so that it cannot replace a pipe end still to be moved.
  if (inputFd != 0) posix_spawn_file_actions_adddup2(&actions, inPipe[0], inputFd);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  CommandResult result;
  if (rc != 0) {
    close(inPipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    result.err = "spawn failed";
    return result;
  }
  // The input is small in every test; write it and close.
  size_t written = 0;
  signal(SIGPIPE, SIG_IGN);
  while (written < input.size()) {
    const ssize_t n = write(inPipe[1], input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(inPipe[1]);

  const double deadline = monotonicSeconds() + timeoutSeconds;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  bool killed = false;
  while (open > 0) {
    const double left = deadline - monotonicSeconds();
    if (left <= 0 && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, killed ? 1000 : static_cast<int>(left * 1000) + 1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string builtProgram(const std::string& relativePath) {
  return binaryDir() + "/" + relativePath;
}

std::unique_ptr<ChildProcess> startProgram(const SpawnRequest& request) {
  Result<std::unique_ptr<ChildProcess>> child = spawnChild(request);
  if (!child) {
    std::fprintf(stderr, "%s\n", child.error().message.c_str());
    std::abort();
  }
  return std::move(*child);
}

}  // namespace helper::test
