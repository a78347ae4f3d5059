// The code-signing trust on real signed files and real processes: client
// validation of peers that run copies of a small program, each signed its own
// way; the engine check on the same files; the pidfd that pins a peer; the
// rule that only files root alone can change count; the remembered
// contents checks; the launch image stamp; and helper-codesign as scripts
// and people use it. The test program is the helper (signed by the build
// with the test team key); where a case needs another helper image, a copy
// of the test program, signed as the case says, judges the peer in a
// process of its own (`--judge PID`).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <thread>

#include "helper/codesign/code_sign_validator.h"
#include "helper/engine/engine_signature.h"
#include "helper/protocol/mihomo_error.h"
#include "platform/codesign/code_file.h"
#include "platform/process/child_process.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper::test {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

constexpr const char* kApp = "tarn.CorvalethApp";
constexpr const char* kHelperID = "tarn.CorvalethApp.helper";

std::string testTeamKey() { return binaryDir() + "/keys/test-team.key"; }
std::string otherTeamKey() { return binaryDir() + "/keys/other-team.key"; }
codesign::SigningKey loadKey(const std::string& path) { return codesign::SigningKey::load(path).value(); }
std::string teamOfKey(const std::string& path) { return loadKey(path).teamIdentifier(); }
std::uint64_t codeLength(const std::string& path) { return codesign::evaluateFile(path).trailer.value().codeLength; }

// How a copy is signed: no identifier means unsigned, no key ad-hoc; then
// damaged as told.
struct Signing {
  std::string identifier;
  std::string key;
  void (*damage)(const std::string& path) = nullptr;
};
Signing team(const std::string& id, const std::string& key = testTeamKey()) { return {id, key}; }

// Flips the last byte before the signature trailer (the end of the ELF
// section table, which the loader never reads, so the program still runs).
void tamper(const std::string& path) {
  const auto at = static_cast<std::streamoff>(codeLength(path) - 1);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(at);
  const char c = static_cast<char>(f.get());
  f.seekp(at);
  f.put(static_cast<char>(c ^ 0x01));
}

// Gives a trailer signed by the other team our team's public key: the Team
// ID it shows is ours, but the signature cannot verify.
void borrowTeamKey(const std::string& path) {
  const codesign::Trailer trailer = codesign::evaluateFile(path).trailer.value();
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(trailer.codeLength + codesign::kHeaderSize + trailer.identifier.size()));
  f.write(reinterpret_cast<const char*>(loadKey(testTeamKey()).publicKey().data()), 32);
}

// Copies a program to `path` and signs it as told: by default the one that
// runs as a peer (sleep, until it is killed); as a helper, this test program
// with its own signature cut off.
void makeSignedCopy(const std::string& path, const Signing& signing, bool helper = false) {
  fs::copy_file(helper ? "/proc/self/exe" : "/bin/sleep", path, fs::copy_options::overwrite_existing);
  if (helper) fs::resize_file(path, codeLength(path));
  ::chmod(path.c_str(), 0755);
  if (signing.identifier.empty()) return;
  const auto key = signing.key.empty() ? std::nullopt : std::optional(loadKey(signing.key));
  ASSERT_TRUE(codesign::signFile(path, signing.identifier, key ? &*key : nullptr));
  if (signing.damage) signing.damage(path);
}

// A program running as our child (root's) until stop() or destruction.
struct RunningPeer {
  explicit RunningPeer(const std::string& path) : child(startProgram(SpawnRequest(path, {"600"}))) {}
  ~RunningPeer() { stop(); }
  pid_t pid() const { return child->pid(); }
  PeerProcess peer() const { return std::move(PeerProcess::fromPid(pid(), 0, 0).value()); }
  void stop() {
    child->sendSignal(SIGKILL);
    child->waitForExit(-1);
  }
  std::unique_ptr<ChildProcess> child;
};

std::string bundleLine(const std::string& got) {
  return "error: rejecting: bundle ID mismatch (got '" + got + "', expected 'tarn.CorvalethApp')";
}
// The lines of a client whose signature could not be read.
Lines unreadable(pid_t pid, const std::string& call, codesign::OSStatus status) {
  return {"error: " + call + " failed: " + std::to_string(status),
          "error: rejecting client (PID " + std::to_string(pid) + "): cannot read client signing info"};
}

Lines linesOf(const Verdict& v) {
  Lines lines;
  for (const auto& [level, line] : v.lines) lines.push_back(std::string(logLevelName(level)) + ": " + line);
  return lines;
}

// Validates `peer` and returns the lines ("level: message") to be logged.
Lines judge(const PeerProcess& peer, bool accepted) {
  const Verdict v = CodeSignValidator::validate(peer);
  EXPECT_EQ(v.admitted.has_value(), accepted);
  return linesOf(v);
}

// The same, judged by the helper image `helper` (a signed copy of this
// program) in a process of its own; `how` is what that process does to its
// own file first ("" or "update" or "delete").
Lines judgeBy(const std::string& helper, pid_t peer, bool accepted, const std::string& how = "") {
  const CommandResult r = runCommand({helper, "--judge", std::to_string(peer), how});
  EXPECT_EQ(r.exitStatus, accepted ? 0 : 1) << r.err;
  Lines lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The reason validateMihomoSignature gave, or "" when it passed.
std::string checkEngine(const std::string& path) {
  const Result<codesign::RootImage> image = validateMihomoSignature(path);
  if (image) return "";
  EXPECT_TRUE(MihomoError::is(image.error(), MihomoError::Case::startFailed));
  return image.error().message.substr(std::string("mihomo не стартанул: ").size());
}

// Each signed copy runs as a client and is also checked as the engine
// binary, whose identifier does not matter.
TEST(CodeSignValidatorTest, JudgesRealPeersAndEngines) {
  // The build signed the test program with the test team key.
  const std::string ours = teamOfKey(testTeamKey()), other = teamOfKey(otherTeamKey());
  const std::string teamLine = "error: rejecting: Team ID mismatch (ours='";
  const std::string styleLine = "error: rejecting: signing-style mismatch (our team=";
  const std::string engineTeam = "mihomo Team ID mismatch (", engineStyle = "mihomo signing-style mismatch (ours=";
  const std::string invalid = ") — возможна подмена бинарника";
  const struct {
    std::string name;
    Signing client;
    std::optional<Signing> helper;  // absent: the test program's own image
    Lines lines;  // empty: those of a client whose contents fail the check
    std::string engine;
  } cases[] = {
      {"our team, our application", team(kApp), {},
       {"info: accepted client: Team ID match (" + ours + "), bundle 'tarn.CorvalethApp'"}, ""},
      {"our team, another identifier", team("tarn.CorvalethApp.evil"), {}, {bundleLine("tarn.CorvalethApp.evil")}, ""},
      {"right identifier, ad-hoc", {kApp, ""}, {}, {styleLine + ours + ", client team=nil)"},
       engineStyle + ours + ", mihomo=nil)"},
      {"unsigned", {}, {}, {bundleLine("")}, "mihomo signature invalid (-67062" + invalid},
      {"other team", team(kApp, otherTeamKey()), {}, {teamLine + ours + "', client='" + other + "')"},
       engineTeam + other + " != " + ours + ")"},
      {"bundle is checked before the team", team("x.other", otherTeamKey()), {}, {bundleLine("x.other")},
       engineTeam + other + " != " + ours + ")"},
      {"contents changed after signing", {kApp, testTeamKey(), tamper}, {}, {},
       "mihomo signature invalid (-67061" + invalid},
      {"our Team ID borrowed by another key", {kApp, otherTeamKey(), borrowTeamKey}, {}, {},
       "mihomo signature invalid (-67061" + invalid},
      {"helper ad-hoc", team(kApp), Signing{kHelperID, ""}, {styleLine + "nil, client team=" + ours + ")"},
       engineStyle + "nil, mihomo=" + ours + ")"},
      {"both ad-hoc", {kApp, ""}, Signing{kHelperID, ""}, {styleLine + "nil, client team=nil)"},
       engineStyle + "nil, mihomo=nil)"},
      {"helper's own image damaged", team(kApp), Signing{kHelperID, testTeamKey(), tamper},
       {"error: SecCodeCopySigningInformation failed: -67061",
        "error: rejecting client: cannot read our own signing info (helper not signed?)"},
       "cannot read own signing dictionary"},
      {"helper of the other team", team(kApp), team(kHelperID, otherTeamKey()),
       {teamLine + other + "', client='" + ours + "')"}, engineTeam + ours + " != " + other + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    makeSignedCopy(dir.file("client"), c.client);
    RunningPeer client(dir.file("client"));
    const bool accepted = !c.lines.empty() && c.lines[0].starts_with("info");
    const Lines expected =
        c.lines.empty() ? unreadable(client.pid(), "SecCodeCopySigningInformation", codesign::kStatusSignatureFailed)
                        : c.lines;
    if (!c.helper) {
      EXPECT_EQ(judge(client.peer(), accepted), expected);
      EXPECT_EQ(checkEngine(dir.file("client")), c.engine);
      continue;
    }
    makeSignedCopy(dir.file("helper"), *c.helper, true);
    EXPECT_EQ(judgeBy(dir.file("helper"), client.pid(), accepted), expected);
    EXPECT_EQ(runCommand({dir.file("helper"), "--judge-engine", dir.file("client")}).out, c.engine);
  }
}

// Only an image that root alone can change counts: anything else is
// refused before a byte of it is hashed, even when it is run by root.
TEST(CodeSignValidatorTest, RefusesImagesOthersCouldChangeWithoutReadingThem) {
  TempDir dir;
  const std::string app = dir.file("app");
  const int memfd = ::memfd_create("app", MFD_CLOEXEC);
  const struct {
    std::string name;
    std::function<std::string()> breakIt;  // returns the path to run
    std::string reason;
  } cases[] = {
      {"writable by others", [&] { ::chmod(app.c_str(), 0757); return app; }, app + " is writable by group or others"},
      {"owned by a user", [&] { EXPECT_EQ(::chown(app.c_str(), 65534, 0), 0); return app; },
       app + " is owned by uid 65534, not by root"},
      {"in a directory a group may write", [&] { ::chmod(dir.path().c_str(), 0775); return app; },
       app + ": the directory " + dir.path() + " is writable by group or others"},
      {"deleted after it started", [&] { return app; }, " was deleted or replaced after it started"},
      {"in memory, where it could still be changed",
       [&] {
         const std::string bytes = readFile(app);
         EXPECT_EQ(::write(memfd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
         return "/proc/self/fd/" + std::to_string(memfd);
       },
       "is not a file on disk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeSignedCopy(app, team(kApp));
    RunningPeer peer(c.breakIt());
    if (c.name.starts_with("deleted")) fs::remove(app);
    const std::uint64_t hashed = CodeSignValidator::contentChecks();
    const Lines lines = judge(peer.peer(), false);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    EXPECT_EQ(CodeSignValidator::contentChecks(), hashed);
    ::chmod(dir.path().c_str(), 0755);
    fs::remove(app);
  }
  ::close(memfd);
}

// A contents check is remembered for exactly that file: any change to it
// (contents, mode, owner, a new file renamed over it) means a new check, and
// a file that failed fails again without being hashed again.
TEST(CodeSignValidatorTest, RemembersAContentsCheckOnlyWhileTheFileIsUnchanged) {
  TempDir dir;
  const std::string app = dir.file("app");
  makeSignedCopy(app, team(kApp));
  auto hashesFor = [&](bool accepted) {
    RunningPeer peer(app);
    const std::uint64_t before = CodeSignValidator::contentChecks();
    judge(peer.peer(), accepted);
    return CodeSignValidator::contentChecks() - before;
  };
  EXPECT_EQ(hashesFor(true), 1u);
  EXPECT_EQ(hashesFor(true), 0u);  // the same file: remembered
  const std::pair<std::string, std::function<void()>> changes[] = {
      {"mode", [&] { ::chmod(app.c_str(), 0711); }},
      {"owner", [&] { EXPECT_EQ(::chown(app.c_str(), 0, 65534), 0); }},
      {"replaced by rename",
       [&] {
         makeSignedCopy(app + ".new", team(kApp));
         fs::rename(app + ".new", app);
       }},
      // The modification time, by one tick (a nanosecond).
      {"times", [&] { fs::last_write_time(app, fs::last_write_time(app) + fs::file_time_type::duration(1)); }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    change();
    EXPECT_EQ(hashesFor(true), 1u);
    EXPECT_EQ(hashesFor(true), 0u);
  }
  // Changed contents: refused, and refused again from memory; the file
  // changed back is checked afresh.
  tamper(app);
  EXPECT_EQ(hashesFor(false), 1u);
  EXPECT_EQ(hashesFor(false), 0u);
  tamper(app);
  EXPECT_EQ(hashesFor(true), 1u);
}

// The engine is opened only along a path of directories root alone can
// change, and not through a symbolic link; the refusal says which step
// failed.
TEST(EngineSignatureTest, SaysWhichStepFailed) {
  TempDir dir;
  const std::string link = dir.file("link"), linkedDir = dir.file("linked-dir"), missing = dir.file("missing");
  fs::create_symlink("/bin/sleep", link);
  fs::create_directory_symlink(dir.path(), linkedDir);
  const std::pair<std::string, std::string> cases[] = {
      {"/nonexistent/mihomo", "/nonexistent/mihomo: cannot open /nonexistent: No such file or directory"},
      {missing, "cannot open " + missing + ": No such file or directory"},
      {link, link + " is a symbolic link"},
      {linkedDir + "/x", linkedDir + "/x: " + linkedDir + " is not a directory (or is a symbolic link)"},
      {dir.path(), dir.path() + " is not a regular file"},
      {"mihomo", "mihomo is not a file on disk"},
      {dir.path() + "/../x", dir.path() + "/../x is not a plain absolute path"},
  };
  for (const auto& [path, reason] : cases) {
    EXPECT_EQ(checkEngine(path), "mihomo binary refused: " + reason + " — only root may be able to change it");
  }
}

// Starts `program` as a child with exactly the pid `pid` (clone3 with
// set_tid, which needs CAP_SYS_ADMIN); returns once it runs `program`.
pid_t spawnWithPid(pid_t pid, const std::string& program) {
  clone_args args{};
  args.flags = CLONE_VFORK;
  args.exit_signal = SIGCHLD;
  args.set_tid = reinterpret_cast<std::uint64_t>(&pid);
  args.set_tid_size = 1;
  const long rc = ::syscall(SYS_clone3, &args, sizeof args);
  if (rc == 0) {
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("600"), nullptr};
    ::execve(program.c_str(), argv, environ);
    ::_exit(127);
  }
  return static_cast<pid_t>(rc);
}

// The pidfd, not the pid, names the peer: no pidfd, no verdict; a peer that
// is gone is refused even when its pid now runs the application.
TEST(CodeSignValidatorTest, JudgesOnlyTheProcessItsPidfdPins) {
  TempDir dir;
  makeSignedCopy(dir.file("intruder"), {});
  makeSignedCopy(dir.file("app"), team(kApp));
  const std::string guest = "SecCodeCopyGuestWithAttributes(audit_token)";
  EXPECT_EQ(judge(PeerProcess(), false), (Lines{"error: cannot read auditToken from NSXPCConnection (PID 0)",
                                                "error: rejecting client (PID 0): cannot read client signing info"}));
  // An unsigned intruder connects and exits; its pid then goes to our own,
  // signed application. A pid-only check would accept the intruder.
  for (int attempt = 0; attempt < 5; ++attempt) {
    RunningPeer intruder(dir.file("intruder"));
    const PeerProcess stale = intruder.peer();
    intruder.stop();
    const pid_t pid = spawnWithPid(stale.pid(), dir.file("app"));
    if (pid < 0 && errno == EEXIST) continue;  // another process took the pid first
    HELPER_SKIP_UNLESS(pid < 0 ? "cannot start a process with a chosen pid (clone3 set_tid): " +
                                     std::string(std::strerror(errno))
                               : "");
    EXPECT_EQ(judge(stale, false), unreadable(pid, guest, codesign::kStatusNoSuchCode));
    judge(std::move(PeerProcess::fromPid(pid, 0, 0).value()), true);  // the application itself is served
    ::kill(pid, SIGKILL);  // the process this test started
    ::waitpid(pid, nullptr, 0);
    return;
  }
  FAIL() << "the freed pid was taken by another process five times in a row";
}

// A peer that ends while its contents are hashed is not admitted: what
// runs under its pid afterwards is not what was checked.
TEST(CodeSignValidatorTest, APeerThatEndsDuringTheContentsCheckIsRefused) {
  TempDir dir;
  const std::string app = dir.file("app");
  fs::copy_file("/bin/sleep", app);
  fs::resize_file(app, 64 << 20);  // long enough to hash that it can end meanwhile
  const auto key = loadKey(testTeamKey());
  ASSERT_TRUE(codesign::signFile(app, kApp, &key));
  RunningPeer peer(app);
  const PeerProcess process = peer.peer();
  const std::uint64_t before = CodeSignValidator::contentChecks();
  std::atomic<bool> judged{false};
  std::thread killer([&] {
    while (!judged && CodeSignValidator::contentChecks() == before) std::this_thread::yield();
    peer.stop();
  });
  const Lines lines = judge(process, false);
  judged = true;
  killer.join();
  EXPECT_EQ(lines, unreadable(process.pid(), "SecCodeCopyGuestWithAttributes(audit_token)", codesign::kStatusNoSuchCode));
}

// The helper's own executable replaced by an update, deleted, or still in
// place: once it is not the file the helper was launched from, the helper
// vouches for nobody, and says why.
TEST(ImageStampTest, AHelperWhoseFileWasReplacedOrDeletedValidatesNobody) {
  const Lines replaced = {
      "fault: rejecting client: our binary on disk was replaced after launch (app updated) — "
      "this process can no longer validate anyone"};
  TempDir dir;
  makeSignedCopy(dir.file("client"), team(kApp));
  RunningPeer client(dir.file("client"));
  for (const std::string how : {"update", "delete", ""}) {
    SCOPED_TRACE(how);
    makeSignedCopy(dir.file("helper"), team(kHelperID), true);
    const Lines lines = judgeBy(dir.file("helper"), client.pid(), how.empty(), how);
    EXPECT_EQ(lines == replaced, !how.empty());
    fs::remove(dir.file("helper"));
  }
}

// A client other than root must have connected with the application's group
// and run with it now. One that connected with another group, here a lower
// one (root's), and has run the set-group-ID application since is refused.
TEST(CodeSignValidatorTest, AClientThatConnectedWithAnotherGroupIsRefused) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  makeSignedCopy(dir.file("client"), team(kApp));
  ASSERT_EQ(::chown(dir.file("client").c_str(), 0, 65534), 0);  // nogroup
  ASSERT_EQ(::chmod(dir.file("client").c_str(), 02755), 0);
  makeSignedCopy(dir.file("helper"), team(kHelperID), true);
  // As nobody with the real group users (100); the file gives it nogroup.
  auto client = startProgram(SpawnRequest(
      "/usr/bin/setpriv", {"--reuid=65534", "--regid=100", "--clear-groups", "--", dir.file("client"), "600"}));
  for (int i = 0; i < 1000 && fs::read_symlink("/proc/" + std::to_string(client->pid()) + "/exe") !=
                                  dir.file("client"); ++i) {
    ::usleep(1000);
  }
  ::setenv("HELPER_CLIENT_GROUP", "nogroup", 1);
  const Lines lines = judgeBy(dir.file("helper"), client->pid(), false);  // connected with group 0
  ::unsetenv("HELPER_CLIENT_GROUP");
  client->sendSignal(SIGKILL);
  EXPECT_EQ(lines, (Lines{"error: rejecting client (PID " + std::to_string(client->pid()) +
                          "): it does not run as the application (effective group 0 when it connected, 65534 now; "
                          "the application runs with the group 'nogroup')"}));
}

CommandResult tool(std::vector<std::string> args) {
  args.insert(args.begin(), builtProgram("tools/helper-codesign/helper-codesign"));
  return runCommand(args);
}
unsigned modeOf(const std::string& path) { return static_cast<unsigned>(fs::status(path).permissions()); }

// helper-codesign as the build uses it (its signatures are judged above):
// a key made once and kept private; a file signed in place through a link,
// keeping its mode, by a new file (a reader keeps the old bytes); a
// verification that fails says why.
TEST(HelperCodesignToolTest, KeepsKeysPrivateAndSignsInPlaceByANewFile) {
  TempDir dir;
  const std::string key = dir.file("team.key"), file = dir.file("app");
  const auto made = tool({"keygen", "--out", key});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(tool({"keygen", "--if-missing", "--out", key}).out, made.out);  // the same key, kept

  makeSignedCopy(file, {});
  ::chmod(file.c_str(), 0750);
  fs::create_symlink(file, dir.file("link"));
  std::ifstream reader(file, std::ios::binary);  // opened before: keeps the old bytes
  const std::string before = readFile(file);
  const auto signedTeam = tool({"sign", "--identifier", kApp, "--key", key, dir.file("link")});
  ASSERT_EQ(signedTeam.exitStatus, 0) << signedTeam.err;
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_EQ(modeOf(file), 0750u);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), before);
  EXPECT_EQ(tool({"verify", file}).out,
            file + ": valid on disk (Identifier=tarn.CorvalethApp, TeamIdentifier=" + teamOfKey(key) + ")\n");
  tamper(file);
  const auto tampered = tool({"verify", file});
  EXPECT_EQ(tampered.exitStatus, 1);
  EXPECT_NE(tampered.err.find("status -67061: the contents do not match the signature"), std::string::npos)
      << tampered.err;
}

// `--judge PID [update|delete]`: as the helper, judges the process PID
// (run by root) after doing to its own file what it is told; prints the
// lines and exits 0 when it admitted it. `--judge-engine PATH`: prints why
// the engine at PATH is refused, if it is.
int judgeMain(int argc, char** argv) {
  CodeSignValidator::recordStartupStamp();
  if (std::string(argv[1]) == "--judge-engine") {
    std::cout << checkEngine(argv[2]);
    return 0;
  }
  const std::string how = argc > 3 ? argv[3] : "";
  const std::string self = os().ownExecutablePath();
  if (how == "update") {
    fs::copy_file(self, self + ".new");
    fs::rename(self + ".new", self);
  } else if (how == "delete") {
    fs::remove(self);
  }
  const Verdict v = CodeSignValidator::validate(std::move(PeerProcess::fromPid(std::stoi(argv[2]), 0, 0).value()));
  for (const auto& line : linesOf(v)) std::cout << line << "\n";
  return v.admitted ? 0 : 1;
}

}  // namespace
}  // namespace helper::test

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]).starts_with("--judge")) return helper::test::judgeMain(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
