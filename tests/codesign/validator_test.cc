// Client validation against real peer processes: each case runs a copy of a
// small program, signed its own way, and asks whether the helper would serve
// it. The test program is the helper: its own image is signed with the test
// team key, unless a case puts another signed file in its place.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "helper/codesign/code_sign_validator.h"
#include "platform/codesign/code_file.h"
#include "tests/codesign/codesign_support.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using namespace test;

constexpr const char* kApp = "tarn.CorvalethApp";
constexpr const char* kHelperID = "tarn.CorvalethApp.helper";

// Flips the last byte before the signature trailer (the end of the ELF
// section table, which the loader never reads, so the program still runs).
void tamperContents(const std::string& path) {
  const codesign::CodeEvaluation e = codesign::evaluateFile(path);
  ASSERT_TRUE(e.trailer);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  const auto at = static_cast<std::streamoff>(e.trailer->codeLength - 1);
  f.seekg(at);
  char c = 0;
  f.get(c);
  f.seekp(at);
  f.put(static_cast<char>(c ^ 0x01));
}

// A program signed with the other team's key whose trailer then gets our
// team's public key: the Team ID it shows is ours, but the signature
// cannot verify.
void borrowTeamKey(const std::string& path) {
  std::string error;
  const auto ours = codesign::SigningKey::load(testTeamKey(), &error);
  ASSERT_TRUE(ours) << error;
  const codesign::CodeEvaluation e = codesign::evaluateFile(path);
  ASSERT_TRUE(e.trailer);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(e.trailer->codeLength + codesign::kHeaderSize +
                                      e.trailer->identifier.size()));
  f.write(reinterpret_cast<const char*>(ours->publicKey().data()), 32);
}

std::string withPid(std::string line, pid_t pid) {
  const auto at = line.find("{pid}");
  if (at != std::string::npos) line.replace(at, 5, std::to_string(pid));
  return line;
}

TEST(CodeSignValidatorTest, TheTestProgramIsSignedAsTheHelper) {
  const codesign::CodeEvaluation self = codesign::evaluateFile("/proc/self/exe");
  ASSERT_EQ(self.status, 0) << self.detail;
  EXPECT_EQ(self.identifier(), kHelperID);
  EXPECT_EQ(self.teamIdentifier(), testTeam());
}

TEST(CodeSignValidatorTest, JudgesRealPeers) {
  const std::string team = testTeam();
  const std::string other = teamOfKey(otherTeamKey());
  const Signing app = teamSigned(kApp, testTeamKey());
  struct Case {
    std::string name;
    Signing client;
    std::optional<Signing> helper;  // nullopt: the test program's own image
    void (*damage)(const std::string&);
    bool accepted;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"our team, our application", app, {}, nullptr, true,
       {"info: accepted client: Team ID match (" + team + "), bundle 'tarn.CorvalethApp'"}},
      {"our team, another identifier", teamSigned("tarn.CorvalethApp.evil", testTeamKey()), {},
       nullptr, false,
       {"error: rejecting: bundle ID mismatch (got 'tarn.CorvalethApp.evil', expected "
        "'tarn.CorvalethApp')"}},
      {"our team, the helper's own identifier", teamSigned(kHelperID, testTeamKey()), {},
       nullptr, false,
       {"error: rejecting: bundle ID mismatch (got 'tarn.CorvalethApp.helper', expected "
        "'tarn.CorvalethApp')"}},
      {"identifier differs in case only", teamSigned("tarn.corvalethapp", testTeamKey()), {},
       nullptr, false,
       {"error: rejecting: bundle ID mismatch (got 'tarn.corvalethapp', expected "
        "'tarn.CorvalethApp')"}},
      {"right identifier, ad-hoc", adhocSigned(kApp), {}, nullptr, false,
       {"error: rejecting: signing-style mismatch (our team=" + team + ", client team=nil)"}},
      {"unsigned", unsignedCode(), {}, nullptr, false,
       {"error: rejecting: bundle ID mismatch (got '', expected 'tarn.CorvalethApp')"}},
      {"other team", teamSigned(kApp, otherTeamKey()), {}, nullptr, false,
       {"error: rejecting: Team ID mismatch (ours='" + team + "', client='" + other + "')"}},
      {"bundle is checked before the team", teamSigned("x.other", otherTeamKey()), {}, nullptr,
       false,
       {"error: rejecting: bundle ID mismatch (got 'x.other', expected 'tarn.CorvalethApp')"}},
      {"contents changed after signing", app, {}, tamperContents, false,
       {"error: SecCodeCopySigningInformation failed: -67061",
        "error: rejecting client (PID {pid}): cannot read client signing info"}},
      {"our Team ID borrowed by another key", teamSigned(kApp, otherTeamKey()), {},
       borrowTeamKey, false,
       {"error: SecCodeCopySigningInformation failed: -67061",
        "error: rejecting client (PID {pid}): cannot read client signing info"}},
      {"helper ad-hoc", app, adhocSigned(kHelperID), nullptr, false,
       {"error: rejecting: signing-style mismatch (our team=nil, client team=" + team + ")"}},
      {"helper unsigned", app, unsignedCode(), nullptr, false,
       {"error: rejecting: signing-style mismatch (our team=nil, client team=" + team + ")"}},
      {"both ad-hoc", adhocSigned(kApp), adhocSigned(kHelperID), nullptr, false,
       {"error: rejecting: signing-style mismatch (our team=nil, client team=nil)"}},
      {"helper of the other team", app, teamSigned(kHelperID, otherTeamKey()), nullptr, false,
       {"error: rejecting: Team ID mismatch (ours='" + other + "', client='" + team + "')"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    makeSignedCopy(peerProgram(), dir.file("client"), c.client);
    if (c.damage) c.damage(dir.file("client"));
    auto services = std::make_shared<SubstituteServices>();
    if (c.helper) {
      makeSignedCopy(peerProgram(), dir.file("helper"), *c.helper);
      services->selfPath = dir.file("helper");
    }
    ServicesScope scope(services);
    RunningPeer client(dir.file("client"));
    LogCapture log;
    EXPECT_EQ(CodeSignValidator::validate(client.peer()), c.accepted);
    std::vector<std::string> expected;
    for (const auto& line : c.lines) expected.push_back(withPid(line, client.pid()));
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(client.stop(), 0);
  }
}

TEST(CodeSignValidatorTest, JudgesTheRunningImageNotTheFileNowAtItsPath) {
  // An unsigned program starts, then a signed copy of our application is
  // renamed over its path: the process still runs the unsigned image.
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("client"), unsignedCode());
  RunningPeer client(dir.file("client"));
  makeSignedCopy(peerProgram(), dir.file("good"), teamSigned(kApp, testTeamKey()));
  std::filesystem::rename(dir.file("good"), dir.file("client"));
  LogCapture log;
  EXPECT_FALSE(CodeSignValidator::validate(client.peer()));
  EXPECT_EQ(log.lines(), std::vector<std::string>{"error: rejecting: bundle ID mismatch (got '', "
                                                  "expected 'tarn.CorvalethApp')"});

  // The other way round: an update replaces the application's file while it
  // runs; the running, signed image is still served.
  makeSignedCopy(peerProgram(), dir.file("app"), teamSigned(kApp, testTeamKey()));
  RunningPeer app(dir.file("app"));
  std::filesystem::remove(dir.file("app"));
  EXPECT_TRUE(CodeSignValidator::validate(app.peer()));
}

TEST(CodeSignValidatorTest, RefusesPeersThatCannotBePinned) {
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("client"), teamSigned(kApp, testTeamKey()));
  auto expectRefused = [](const PeerProcess& peer, const std::vector<std::string>& lines) {
    LogCapture log;
    EXPECT_FALSE(CodeSignValidator::validate(peer));
    std::vector<std::string> expected;
    for (const auto& line : lines) expected.push_back(withPid(line, peer.pid()));
    EXPECT_EQ(log.lines(), expected);
  };
  const std::vector<std::string> gone = {
      "error: SecCodeCopyGuestWithAttributes(audit_token) failed: -67065",
      "error: rejecting client (PID {pid}): cannot read client signing info"};
  {
    SCOPED_TRACE("exited and reaped");
    RunningPeer client(dir.file("client"));
    const PeerProcess peer = client.peer();
    client.stop();
    expectRefused(peer, gone);
  }
  {
    SCOPED_TRACE("exited, not yet reaped");
    RunningPeer client(dir.file("client"));
    const PeerProcess peer = client.peer();
    ::kill(client.pid(), SIGKILL);  // a process this test started
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(client.pid()), &info, WEXITED | WNOWAIT);
    expectRefused(peer, gone);
  }
  {
    SCOPED_TRACE("a pid that is not the pidfd's process");
    RunningPeer client(dir.file("client"));
    RunningPeer stranger(dir.file("client"));
    expectRefused(PeerProcess(stranger.pid(), ::dup(client.peer().pidfd())), gone);
  }
  expectRefused(PeerProcess(), {"error: cannot read auditToken from NSXPCConnection (PID 0)",
                                "error: rejecting client (PID 0): cannot read client signing info"});
}

TEST(CodeSignValidatorTest, JudgesConnectionsConcurrently) {
  // Admission runs on any thread; every verdict is independent.
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("app"), teamSigned(kApp, testTeamKey()));
  makeSignedCopy(peerProgram(), dir.file("stranger"), teamSigned(kApp, otherTeamKey()));
  RunningPeer app(dir.file("app"));
  RunningPeer stranger(dir.file("stranger"));
  LogCapture log;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        if (!CodeSignValidator::validate(app.peer())) ++wrong;
        if (CodeSignValidator::validate(stranger.peer())) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(log.lines().size(), 60u);
}

}  // namespace
}  // namespace helper
