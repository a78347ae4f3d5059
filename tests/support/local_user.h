// Accounts for tests of what an ordinary local user can do: a user made for
// one test and removed with it (with every process it still runs), the
// application's group made for one test program, and the application
// installed the way the helper requires (signed, set-group-ID to that group,
// where only root can change it).
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/process/child_process.h"
#include "tests/support/run_command.h"

namespace helper::test {

class ThrowawayUser {
 public:
  ThrowawayUser();
  // Ends every process of the user (through pidfds) and removes it.
  ~ThrowawayUser();
  ThrowawayUser(const ThrowawayUser&) = delete;
  ThrowawayUser& operator=(const ThrowawayUser&) = delete;

  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  // A folder of its own (mode 0700), under the tests' folder.
  const std::string& home() const { return home_; }

  // `argv` as this user: its uid, its own group and no others, this
  // process's environment.
  CommandResult run(std::vector<std::string> argv, const std::string& input = "", double timeout = 30) const;
  std::unique_ptr<ChildProcess> start(std::vector<std::string> argv, int out = -1, int err = -1) const;
  // The prefix that runs a command as this user.
  std::vector<std::string> as(std::vector<std::string> argv) const;

 private:
  std::string name_, home_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// The application's group for this test program, made on first use;
// HELPER_CLIENT_GROUP names it for the helpers it starts. Removed when the
// program ends.
gid_t clientGroup();

// A copy of `program` at `path`, signed as `identifier` with the test team
// key.
void installSigned(const std::string& program, const std::string& path, const std::string& identifier);

// A copy of `program` at `path`, signed as the application with the test
// team key, root:group, mode 2755. `path`'s folder must be one only root
// can change.
void installAsApplication(const std::string& program, const std::string& path);

}  // namespace helper::test
