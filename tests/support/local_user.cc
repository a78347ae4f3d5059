#include "tests/support/local_user.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "platform/codesign/code_file.h"
#include "platform/codesign/signing_key.h"
#include "platform/process/peer_process.h"
#include "platform/process/pidfd.h"
#include "tests/support/test_env.h"

namespace helper::test {
namespace {

std::atomic<int> counter{0};

// Processes whose real user is `uid`.
std::vector<pid_t> processesOf(uid_t uid) {
  std::vector<pid_t> out;
  std::istringstream pids(runCommand({"/usr/bin/pgrep", "-U", std::to_string(uid)}).out);
  for (pid_t pid; pids >> pid;) out.push_back(pid);
  return out;
}

void must(const CommandResult& r, const std::string& what) {
  if (r.exitStatus != 0) throw std::runtime_error(what + " failed: " + r.err);
}

}  // namespace

ThrowawayUser::ThrowawayUser() {
  name_ = "htest" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
  must(runCommand({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                   "--user-group", name_}),
       "useradd " + name_);
  const passwd* pw = ::getpwnam(name_.c_str());
  if (pw == nullptr) throw std::runtime_error("no such user after useradd: " + name_);
  uid_ = pw->pw_uid;
  gid_ = pw->pw_gid;
  home_ = tempBase() + "/home-" + name_;
  std::filesystem::create_directories(home_);
  ::chown(home_.c_str(), uid_, gid_);
  ::chmod(home_.c_str(), 0700);
}

ThrowawayUser::~ThrowawayUser() {
  // Its processes are all this test's doing; pinned before the signal.
  for (int round = 0; round < 3; ++round) {
    for (const pid_t pid : processesOf(uid_)) {
      if (auto p = PeerProcess::fromPid(pid)) pidfdSendSignal(p->pidfd(), SIGKILL);
    }
    if (processesOf(uid_).empty()) break;
    ::usleep(50 * 1000);
  }
  std::error_code ignored;
  std::filesystem::remove_all(home_, ignored);
  runCommand({"/usr/sbin/userdel", name_});
}

std::vector<std::string> ThrowawayUser::as(std::vector<std::string> argv) const {
  std::vector<std::string> prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid_),
                                     "--regid=" + std::to_string(gid_), "--clear-groups", "--"};
  prefix.insert(prefix.end(), argv.begin(), argv.end());
  return prefix;
}

CommandResult ThrowawayUser::run(std::vector<std::string> argv, const std::string& input, double timeout) const {
  return runCommand(as(std::move(argv)), input, timeout);
}

std::unique_ptr<ChildProcess> ThrowawayUser::start(std::vector<std::string> argv, int out, int err) const {
  const std::vector<std::string> full = as(std::move(argv));
  return startProgram(SpawnRequest(full[0], std::vector<std::string>(full.begin() + 1, full.end()), out, err));
}

gid_t clientGroup() {
  static const gid_t gid = [] {
    const std::string name = "htestapp" + std::to_string(::getpid());
    must(runCommand({"/usr/sbin/groupadd", "--system", name}), "groupadd " + name);
    const group* g = ::getgrnam(name.c_str());
    if (g == nullptr) throw std::runtime_error("no such group after groupadd: " + name);
    ::setenv("HELPER_CLIENT_GROUP", name.c_str(), 1);
    static const std::string removeAtExit = name;
    std::atexit([] { runCommand({"/usr/sbin/groupdel", removeAtExit}); });
    return g->gr_gid;
  }();
  return gid;
}

void installSigned(const std::string& program, const std::string& path, const std::string& identifier) {
  std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
  const auto key = codesign::SigningKey::load(binaryDir() + "/keys/test-team.key");
  if (!key) throw std::runtime_error("no test team key");
  if (const auto r = codesign::signFile(path, identifier, &*key); !r) throw std::runtime_error(r.error().message);
}

void installAsApplication(const std::string& program, const std::string& path) {
  installSigned(program, path, "tarn.CorvalethApp");
  // The owner first: changing it clears the set-group-ID bit.
  ::chown(path.c_str(), 0, clientGroup());
  ::chmod(path.c_str(), 02755);
}

}  // namespace helper::test
