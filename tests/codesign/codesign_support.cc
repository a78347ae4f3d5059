#include "tests/codesign/codesign_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <stdexcept>

#include "platform/codesign/code_file.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper::test {

std::string testTeamKey() { return binaryDir() + "/keys/test-team.key"; }
std::string otherTeamKey() { return binaryDir() + "/keys/other-team.key"; }

std::string teamOfKey(const std::string& keyPath) {
  std::string error;
  const auto key = codesign::SigningKey::load(keyPath, &error);
  if (!key) throw std::runtime_error(error);
  return key->teamIdentifier();
}

std::string testTeam() { return teamOfKey(testTeamKey()); }

std::string peerProgram() { return binaryDir() + "/tests/codesign/codesign_test_peer"; }
std::string codesignTool() { return binaryDir() + "/tools/helper-codesign/helper-codesign"; }

Signing unsignedCode() { return Signing{}; }
Signing adhocSigned(const std::string& identifier) {
  return Signing{Signing::adhoc, identifier, ""};
}
Signing teamSigned(const std::string& identifier, const std::string& key) {
  return Signing{Signing::team, identifier, key};
}

void makeSignedCopy(const std::string& source, const std::string& path, const Signing& signing) {
  std::filesystem::copy_file(source, path, std::filesystem::copy_options::overwrite_existing);
  ::chmod(path.c_str(), 0755);
  if (signing.kind == Signing::none) return;
  std::optional<codesign::SigningKey> key;
  if (signing.kind == Signing::team) {
    std::string error;
    key = codesign::SigningKey::load(signing.key, &error);
    ASSERT_TRUE(key) << error;
  }
  const auto result = codesign::signFile(path, signing.identifier, key ? &*key : nullptr);
  ASSERT_EQ(result.error, "");
}

RunningPeer::RunningPeer(const std::string& program) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  }
  stdinFd_ = fds[1];
}

RunningPeer::~RunningPeer() { stop(); }

PeerProcess RunningPeer::peer() const {
  std::string error;
  auto p = PeerProcess::fromPid(pid_, &error);
  if (!p) throw std::runtime_error(error);
  return std::move(*p);
}

int RunningPeer::stop() {
  if (pid_ <= 0) return -1;
  ::close(stdinFd_);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

LogCapture::LogCapture() : sink_(std::make_shared<MemoryLogSink>()) { setLogSink(sink_); }
LogCapture::~LogCapture() { setLogSink(nullptr); }

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  for (const auto& r : sink_->records()) {
    if (r.category == "CodeSign") out.push_back(std::string(logLevelName(r.level)) + ": " + r.message);
  }
  return out;
}

codesign::OSStatus SubstituteServices::copySelf(codesign::CodeRef* code) {
  if (copySelfStatus) return *copySelfStatus;
  const codesign::OSStatus status = selfPath ? createStaticCodeWithPath(*selfPath, code)
                                             : LinuxCodeSigningServices::copySelf(code);
  self_ = *code;
  return status;
}

codesign::OSStatus SubstituteServices::copySigningInformation(
    const codesign::CodeRef& code, std::optional<codesign::SigningDictionary>* info) {
  const bool own = code && code == self_;
  if (own && ownInfoStatus) {
    info->reset();
    return *ownInfoStatus;
  }
  if (!own && otherInfo) return otherInfo(info);
  return LinuxCodeSigningServices::copySigningInformation(code, info);
}

std::string SubstituteServices::ownExecutablePath() {
  return executablePath ? *executablePath : LinuxCodeSigningServices::ownExecutablePath();
}

ServicesScope::ServicesScope(std::shared_ptr<codesign::CodeSigningServices> services) {
  codesign::setCodeSigningServices(std::move(services));
}
ServicesScope::~ServicesScope() { codesign::setCodeSigningServices(nullptr); }

}  // namespace helper::test
