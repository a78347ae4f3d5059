// What the code-signing tests share: the test keys, signed copies of
// programs, running peers, a log capture and substitute services.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/codesign/code_signing.h"
#include "platform/log/logger.h"
#include "platform/process/peer_process.h"

namespace helper::test {

// The build tree's test keys (cmake rule helper_test_keys).
std::string testTeamKey();
std::string otherTeamKey();
// The Team ID of a key file.
std::string teamOfKey(const std::string& keyPath);
// The test executable's own Team ID: it is signed with testTeamKey().
std::string testTeam();

// The small peer program built with the tests, and the signing tool.
std::string peerProgram();
std::string codesignTool();

// How a copy of a program is signed.
struct Signing {
  enum Kind { none, adhoc, team } kind = none;
  std::string identifier;
  std::string key;  // for team
};
Signing unsignedCode();
Signing adhocSigned(const std::string& identifier);
Signing teamSigned(const std::string& identifier, const std::string& key);

// Copies `source` to `path` (mode 0755) and signs it as told; fails the test
// on any error.
void makeSignedCopy(const std::string& source, const std::string& path, const Signing& signing);

// A program running as a child, with a PeerProcess for it. Ends when
// stop() is called or on destruction (stdin closed, then the process reaped).
class RunningPeer {
 public:
  explicit RunningPeer(const std::string& program);
  ~RunningPeer();
  RunningPeer(const RunningPeer&) = delete;
  RunningPeer& operator=(const RunningPeer&) = delete;

  pid_t pid() const { return pid_; }
  // A fresh PeerProcess (own pidfd) for this child.
  PeerProcess peer() const;
  // Ends the child and waits for it; returns its exit status.
  int stop();

 private:
  pid_t pid_ = -1;
  int stdinFd_ = -1;
};

// Captures every log line while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  // "level: message" of the CodeSign category, in order.
  std::vector<std::string> lines() const;

 private:
  std::shared_ptr<MemoryLogSink> sink_;
};

// The Linux services with single operations redirected or failed, installed
// process-wide for its lifetime.
class SubstituteServices : public codesign::LinuxCodeSigningServices {
 public:
  // copySelf opens this file instead of /proc/self/exe.
  std::optional<std::string> selfPath;
  // copySelf fails with this status.
  std::optional<codesign::OSStatus> copySelfStatus;
  // copySigningInformation of the own code fails with this status.
  std::optional<codesign::OSStatus> ownInfoStatus;
  // copySigningInformation of any other code returns this instead.
  std::function<codesign::OSStatus(std::optional<codesign::SigningDictionary>*)> otherInfo;
  // ownExecutablePath() reports this.
  std::optional<std::string> executablePath;

  codesign::OSStatus copySelf(codesign::CodeRef* code) override;
  codesign::OSStatus copySigningInformation(
      const codesign::CodeRef& code, std::optional<codesign::SigningDictionary>* info) override;
  std::string ownExecutablePath() override;

 private:
  codesign::CodeRef self_;
};

// Installs services for its lifetime, then restores the Linux ones.
class ServicesScope {
 public:
  explicit ServicesScope(std::shared_ptr<codesign::CodeSigningServices> services);
  ~ServicesScope();
};

}  // namespace helper::test
