// Runs a program directly (no shell) and collects its output; for tests of
// the command-line tools and of outside programs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/process/child_process.h"

namespace helper::test {

struct CommandResult {
  int exitStatus = -1;  // the exit code, or 128 + signal
  std::string out;
  std::string err;
};

// argv[0] is the program path. `timeoutSeconds` kills it with SIGKILL.
// `input` arrives on descriptor `inputFd` of the program; when that is not
// standard input, standard input is /dev/null.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         double timeoutSeconds = 30, int inputFd = 0);

// Starts a program that must start (child_process.h); aborts the program
// with the reason when it cannot.
std::unique_ptr<ChildProcess> startProgram(const SpawnRequest& request);

// Path of a program built in this tree, e.g. builtProgram("tools/helperctl/helperctl").
std::string builtProgram(const std::string& relativePath);

}  // namespace helper::test
