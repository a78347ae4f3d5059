#include "tests/service/service_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/run_command.h"

extern char** environ;

namespace helper::test {
namespace {

std::vector<char*> environmentWith(std::vector<std::string>& storage, const std::string& root) {
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::string(*e).rfind("HELPER_ROOT=", 0) != 0) storage.emplace_back(*e);
  }
  storage.push_back("HELPER_ROOT=" + root);
  std::vector<char*> out;
  for (auto& s : storage) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

void makeCopy(const std::string& source, const std::string& dest, const std::string& identifier) {
  std::filesystem::copy_file(source, dest, std::filesystem::copy_options::overwrite_existing);
  chmod(dest.c_str(), 0755);
  if (identifier.empty()) return;
  const CommandResult r = runCommand({builtProgram("tools/helper-codesign/helper-codesign"), "sign", "--identifier",
                                      identifier, "--key", binaryDir() + "/keys/test-team.key", dest});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
}

HelperProcess::HelperProcess(const std::string& executable, const std::string& root) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::vector<std::string> storage;
  std::vector<char*> env = environmentWith(storage, root);
  char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
  const int rc = posix_spawn(&pid_, executable.c_str(), &actions, &attr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    throw std::runtime_error("cannot start the helper");
  }
  stderrFd_ = pipeFds[0];
  reader_ = std::thread([this] { readLoop(stderrFd_); });
}

HelperProcess::~HelperProcess() {
  if (!waitForExit(0)) {
    // The helper's process group: the helper and the engine it started.
    kill(-pid_, SIGKILL);
    waitForExit(10);
  }
  reader_.join();
  close(stderrFd_);
}

void HelperProcess::readLoop(int fd) {
  std::string pending;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    pending.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      lines_.push_back({std::chrono::steady_clock::now(), pending.substr(0, nl)});
      pending.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
}

std::vector<StderrLine> HelperProcess::lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

std::vector<std::string> HelperProcess::messages(const std::string& category) const {
  std::vector<std::string> out;
  const std::string marker = " " + category + ": ";
  for (const auto& line : lines()) {
    const auto at = line.text.find(marker);
    if (at != std::string::npos) out.push_back(line.text.substr(at + marker.size()));
  }
  return out;
}

std::optional<SteadyTime> HelperProcess::waitForLine(const std::string& text, double seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<SteadyTime> found;
  changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    for (const auto& line : lines_) {
      if (line.text.find(text) != std::string::npos) {
        found = line.at;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool HelperProcess::waitForLines(const std::string& text, size_t count, double seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    size_t found = 0;
    for (const auto& line : lines_) found += line.text.find(text) != std::string::npos;
    return found >= count;
  });
}

std::optional<std::pair<int, SteadyTime>> HelperProcess::waitForExit(double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (exit_) return exit_;
    }
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      std::lock_guard<std::mutex> guard(mutex_);
      exit_ = std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                             std::chrono::steady_clock::now());
      return exit_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool HelperProcess::running() { return !waitForExit(0); }

Probe::Probe(const std::string& executable, const std::string& root) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> storage;
  std::vector<char*> env = environmentWith(storage, root);
  char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
  const int rc = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv, env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  in_ = toChild[1];
  out_ = fromChild[0];
  if (rc != 0) throw std::runtime_error("cannot start the probe");
}

Probe::~Probe() {
  close(in_);  // the probe ends at the end of its input
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      close(out_);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  close(out_);
}

std::string Probe::command(const std::string& line, double seconds) {
  const std::string text = line + "\n";
  if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string answer = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return answer;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return "";
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof(buf));
    if (n <= 0) return "";
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

std::string Probe::call(const std::string& what, long* micros) {
  const std::string answer = command("call " + what);
  if (answer.rfind("ok ", 0) != 0) return answer;
  const auto space = answer.find(' ', 3);
  if (micros) *micros = std::stol(answer.substr(3, space - 3));
  return answer.substr(space + 1);
}

void ServiceFixture::SetUp() {
  HELPER_REQUIRE_PRIVATE_NETNS();
  bin_ = tmp_.file("bin");
  root_ = tmp_.file("root");
  std::filesystem::create_directories(bin_);
  std::filesystem::create_directories(root_);
  makeCopy(builtProgram("helper/front/helper"), helperPath(), "tarn.CorvalethApp.helper");
  // Already signed with the test team key by the build.
  makeCopy(builtProgram("tests/engine/test_engine"), enginePath());
  startHelper();
}

void ServiceFixture::TearDown() { helper_.reset(); }

void ServiceFixture::startHelper() {
  helper_.reset();
  helper_ = std::make_unique<HelperProcess>(helperPath(), root_);
  ASSERT_TRUE(helper_->waitForLine("helper listening on")) << "the helper did not start listening";
}

std::unique_ptr<Probe> ServiceFixture::probe(bool signedCopy) {
  const std::string path = bin_ + (signedCopy ? "/probe" : "/probe-unsigned");
  if (!std::filesystem::exists(path)) {
    makeCopy(builtProgram("tests/service/service_probe"), path, signedCopy ? "tarn.CorvalethApp" : "");
  }
  return std::make_unique<Probe>(path, root_);
}

std::unique_ptr<Probe> ServiceFixture::connectedProbe() {
  auto p = probe();
  const std::string greeting = p->command("connect");
  EXPECT_EQ(greeting.rfind("ok {\"hello\"", 0), 0u) << greeting;
  return p;
}

void ServiceFixture::setKnobs(const std::map<std::string, std::string>& knobs) {
  std::string text;
  for (const auto& [k, v] : knobs) text += k + "=" + v + "\n";
  writeFile(enginePath() + ".knobs", text);
}

std::string ServiceFixture::activate(Probe& p, const std::string& url, int pid) {
  const std::string reply = p.call("activate " + url + " " + std::to_string(pid));
  EXPECT_EQ(field(reply, "success"), "true") << reply;
  const std::string token = field(reply, "token");
  return token.size() > 2 && token[0] == '"' ? token.substr(1, token.size() - 2) : "";
}

std::vector<pid_t> ServiceFixture::runningEngines() const {
  std::vector<pid_t> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    if (argv0 == enginePath()) out.push_back(std::stoi(name));
  }
  return out;
}

std::string field(const std::string& json, const std::string& key) {
  // In the order received, as the helper wrote it.
  const auto parsed = nlohmann::ordered_json::parse(json, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains(key)) return "<missing>";
  return parsed[key].dump();
}

}  // namespace helper::test
