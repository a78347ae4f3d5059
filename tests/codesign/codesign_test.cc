// The code-signing trust on real signed files and real processes: client
// validation of peers that run copies of a small program, each signed its own
// way; the engine check on the same files; the pidfd that pins a peer; the
// launch image stamp; and helper-codesign as scripts and people use it. The
// test program is the helper (signed by the build with the test team key)
// unless a case puts another signed file in its place.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
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
#include <iterator>
#include <thread>

#include "helper/codesign/code_sign_validator.h"
#include "helper/codesign/engine_signature.h"
#include "helper/engine/mihomo_error.h"
#include "platform/codesign/code_file.h"
#include "platform/process/child_process.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace helper::test {
namespace {

std::string testTeamKey() { return binaryDir() + "/keys/test-team.key"; }
std::string otherTeamKey() { return binaryDir() + "/keys/other-team.key"; }
codesign::SigningKey loadKey(const std::string& path) { return codesign::SigningKey::load(path, nullptr).value(); }
std::string teamOfKey(const std::string& path) { return loadKey(path).teamIdentifier(); }

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
  const auto at = static_cast<std::streamoff>(codesign::evaluateFile(path).trailer.value().codeLength - 1);
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(at);
  const char c = static_cast<char>(f.get());
  f.seekp(at);
  f.put(static_cast<char>(c ^ 0x01));
}

// Copies the program that runs as a peer (until it is killed) to `path` and
// signs it as told.
void makeSignedCopy(const std::string& path, const Signing& signing) {
  std::filesystem::copy_file("/bin/sleep", path, std::filesystem::copy_options::overwrite_existing);
  if (signing.identifier.empty()) return;
  const auto key = signing.key.empty() ? std::nullopt : std::optional(loadKey(signing.key));
  ASSERT_EQ(codesign::signFile(path, signing.identifier, key ? &*key : nullptr).error, "");
  if (signing.damage) signing.damage(path);
}

// A program running as our child until stop() or destruction.
struct RunningPeer {
  explicit RunningPeer(const std::string& path) : child(spawnChild({path, {"600"}, -1, -1})) {}
  ~RunningPeer() { stop(); }
  pid_t pid() const { return child->pid(); }
  PeerProcess peer() const { return PeerProcess::fromPid(pid()).value(); }
  void stop() {
    child->sendSignal(SIGKILL);
    child->waitForExit(-1);
  }
  std::unique_ptr<ChildProcess> child;
};

// The Linux services with the own image and path redirected, or copySelf
// failing.
struct SubstituteServices : codesign::LinuxCodeSigningServices {
  std::optional<std::string> selfPath;        // copySelf opens this file
  std::optional<std::string> executablePath;  // ownExecutablePath() reports this
  std::optional<codesign::OSStatus> copySelfStatus;

  codesign::OSStatus copySelf(codesign::CodeRef* code) override {
    if (copySelfStatus) return *copySelfStatus;
    return selfPath ? createStaticCodeWithPath(*selfPath, code) : LinuxCodeSigningServices::copySelf(code);
  }
  std::string ownExecutablePath() override {
    return executablePath.value_or(LinuxCodeSigningServices::ownExecutablePath());
  }
};

// Installs services for its lifetime, then fresh Linux ones.
struct ServicesScope {
  explicit ServicesScope(std::shared_ptr<codesign::CodeSigningServices> services) {
    codesign::setCodeSigningServices(std::move(services));
  }
  ~ServicesScope() { codesign::setCodeSigningServices(nullptr); }
};

using Lines = std::vector<std::string>;

constexpr const char* kApp = "tarn.CorvalethApp";
constexpr const char* kHelperID = "tarn.CorvalethApp.helper";

std::string bundleLine(const std::string& got) {
  return "error: rejecting: bundle ID mismatch (got '" + got + "', expected 'tarn.CorvalethApp')";
}
Lines unreadable(pid_t pid, const std::string& status, const char* call = "SecCodeCopySigningInformation") {
  return {"error: " + std::string(call) + " failed: " + status,
          "error: rejecting client (PID " + std::to_string(pid) + "): cannot read client signing info"};
}

// Validates `peer` and returns the lines ("level: message") it logged.
Lines judge(const PeerProcess& peer, bool accepted) {
  const auto sink = std::make_shared<MemoryLogSink>();
  setLogSink(sink);
  EXPECT_EQ(CodeSignValidator::validate(peer), accepted);
  setLogSink(nullptr);
  Lines lines;
  for (const auto& r : sink->records()) lines.push_back(std::string(logLevelName(r.level)) + ": " + r.message);
  return lines;
}

// Gives a trailer signed by the other team our team's public key: the Team
// ID it shows is ours, but the signature cannot verify.
void borrowTeamKey(const std::string& path) {
  const codesign::Trailer trailer = codesign::evaluateFile(path).trailer.value();
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(trailer.codeLength + codesign::kHeaderSize + trailer.identifier.size()));
  f.write(reinterpret_cast<const char*>(loadKey(testTeamKey()).publicKey().data()), 32);
}

// After the client started, a copy of our application is renamed over its
// file: the process still runs its own, unsigned image.
void renameAppOver(const std::string& path) {
  makeSignedCopy(path + ".app", team(kApp));
  std::filesystem::rename(path + ".app", path);
}

// The reason validateMihomoSignature gave, or "" when it passed.
std::string checkEngine(const std::string& path) {
  try {
    validateMihomoSignature(path);
    return "";
  } catch (const MihomoError& e) {
    EXPECT_EQ(e.errorCase(), MihomoError::Case::startFailed);
    return e.detail();
  }
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
    void (*afterStart)(const std::string&);
    Lines lines;  // "{pid}": the lines of unreadable()
    std::string engine;
  } cases[] = {
      {"our team, our application", team(kApp), {}, nullptr,
       {"info: accepted client: Team ID match (" + ours + "), bundle 'tarn.CorvalethApp'"}, ""},
      {"our team, another identifier", team("tarn.CorvalethApp.evil"), {}, nullptr,
       {bundleLine("tarn.CorvalethApp.evil")}, ""},
      {"identifier differs in case only", team("tarn.corvalethapp"), {}, nullptr,
       {bundleLine("tarn.corvalethapp")}, ""},
      {"right identifier, ad-hoc", {kApp, ""}, {}, nullptr, {styleLine + ours + ", client team=nil)"},
       engineStyle + ours + ", mihomo=nil)"},
      {"unsigned", {}, {}, nullptr, {bundleLine("")}, "mihomo signature invalid (-67062" + invalid},
      {"other team", team(kApp, otherTeamKey()), {}, nullptr,
       {teamLine + ours + "', client='" + other + "')"}, engineTeam + other + " != " + ours + ")"},
      {"bundle is checked before the team", team("x.other", otherTeamKey()), {}, nullptr,
       {bundleLine("x.other")}, engineTeam + other + " != " + ours + ")"},
      {"contents changed after signing", {kApp, testTeamKey(), tamper}, {}, nullptr, {"{pid}"},
       "mihomo signature invalid (-67061" + invalid},
      {"our Team ID borrowed by another key", {kApp, otherTeamKey(), borrowTeamKey}, {}, nullptr, {"{pid}"},
       "mihomo signature invalid (-67061" + invalid},
      {"unsigned, our application's file renamed over it", {}, {}, renameAppOver, {bundleLine("")}, ""},
      {"helper ad-hoc", team(kApp), Signing{kHelperID, ""}, nullptr,
       {styleLine + "nil, client team=" + ours + ")"}, engineStyle + "nil, mihomo=" + ours + ")"},
      {"helper unsigned", team(kApp), Signing{}, nullptr, {styleLine + "nil, client team=" + ours + ")"},
       engineStyle + "nil, mihomo=" + ours + ")"},
      {"both ad-hoc", {kApp, ""}, Signing{kHelperID, ""}, nullptr, {styleLine + "nil, client team=nil)"},
       engineStyle + "nil, mihomo=nil)"},
      {"helper's own image damaged", team(kApp), Signing{kHelperID, testTeamKey(), tamper}, nullptr,
       {"error: SecCodeCopySigningInformation failed: -67061",
        "error: rejecting client: cannot read our own signing info (helper not signed?)"},
       "cannot read own signing dictionary"},
      {"helper of the other team", team(kApp), team(kHelperID, otherTeamKey()), nullptr,
       {teamLine + other + "', client='" + ours + "')"}, engineTeam + ours + " != " + other + ")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    makeSignedCopy(dir.file("client"), c.client);
    auto services = std::make_shared<SubstituteServices>();
    if (c.helper) {
      makeSignedCopy(dir.file("helper"), *c.helper);
      services->selfPath = dir.file("helper");
    }
    ServicesScope scope(services);
    RunningPeer client(dir.file("client"));
    if (c.afterStart) c.afterStart(dir.file("client"));
    const Lines expected = c.lines == Lines{"{pid}"} ? unreadable(client.pid(), "-67061") : c.lines;
    EXPECT_EQ(judge(client.peer(), c.lines[0].starts_with("info")), expected);
    EXPECT_EQ(checkEngine(dir.file("client")), c.engine);
  }
}

TEST(EngineSignatureTest, SaysWhichStepFailed) {
  EXPECT_EQ(checkEngine("/nonexistent/mihomo"), "SecStaticCodeCreateWithPath failed: -67068");
  TempDir dir;
  makeSignedCopy(dir.file("mihomo"), team("tarn.CorvalethApp.mihomo"));
  auto services = std::make_shared<SubstituteServices>();
  services->copySelfStatus = -67065;
  ServicesScope scope(services);
  EXPECT_EQ(checkEngine(dir.file("mihomo")), "cannot read own signing info");
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

TEST(CodeSignValidatorTest, JudgesOnlyTheProcessItsPidfdPins) {
  TempDir dir;
  makeSignedCopy(dir.file("intruder"), {});
  makeSignedCopy(dir.file("app"), team(kApp));
  const std::string guestFailed = "SecCodeCopyGuestWithAttributes(audit_token)";
  EXPECT_EQ(judge(PeerProcess(), false), (Lines{"error: cannot read auditToken from NSXPCConnection (PID 0)",
                                                "error: rejecting client (PID 0): cannot read client signing info"}));
  {
    RunningPeer app(dir.file("app")), stranger(dir.file("intruder"));
    EXPECT_EQ(judge(PeerProcess(app.pid(), ::dup(stranger.peer().pidfd())), false),
              unreadable(app.pid(), "-67065", guestFailed.c_str()));
    // A PeerProcess owns its pidfd and sees its process end.
    PeerProcess a = stranger.peer();
    const int fd = a.pidfd();
    const auto viaPidfd = PeerProcess::fromPidfd(::dup(fd));
    EXPECT_EQ(viaPidfd.value().pid(), stranger.pid());
    PeerProcess b = std::move(a);
    EXPECT_FALSE(a.valid());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    EXPECT_TRUE(b.running());
    { PeerProcess gone = std::move(b); }
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed with its last owner
    stranger.stop();
    EXPECT_FALSE(viaPidfd->running());
    EXPECT_FALSE(PeerProcess::fromPidfd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));  // not a pidfd
  }
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
    EXPECT_EQ(judge(stale, false), unreadable(pid, "-67065", guestFailed.c_str()));
    judge(PeerProcess::fromPid(pid).value(), true);  // the application itself is served
    ::kill(pid, SIGKILL);  // the process this test started
    ::waitpid(pid, nullptr, 0);
    return;
  }
  FAIL() << "the freed pid was taken by another process five times in a row";
}

// Concurrent admissions, the first ones included, read the helper's own
// image once between them; after that only the peers' images.
TEST(CodeSignValidatorTest, JudgesConnectionsConcurrentlyReadingItsOwnImageOnce) {
  ServicesScope scope(std::make_shared<codesign::LinuxCodeSigningServices>());  // own image not read yet
  TempDir dir;
  makeSignedCopy(dir.file("app"), team(kApp));
  makeSignedCopy(dir.file("stranger"), team(kApp, otherTeamKey()));
  RunningPeer app(dir.file("app")), stranger(dir.file("stranger"));
  auto bytesRead = [] {  // by this process so far: the first line of /proc/self/io, "rchar: N"
    std::ifstream io("/proc/self/io");
    return std::stol(std::string(std::istreambuf_iterator<char>(io), {}).substr(7));
  };
  const auto ownSize = static_cast<long>(std::filesystem::file_size("/proc/self/exe"));
  const long before = bytesRead();
  setLogSink(std::make_shared<MemoryLogSink>());
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        wrong += !CodeSignValidator::validate(app.peer()) + CodeSignValidator::validate(stranger.peer());
      }
    });
  }
  for (auto& t : threads) t.join();
  setLogSink(nullptr);
  EXPECT_EQ(wrong, 0);
  const long read = bytesRead() - before;  // 30 times each peer's image (about 40 KB), ours once
  EXPECT_GE(read, ownSize);
  EXPECT_LT(read, 2 * ownSize);
}

void setMtime(const std::string& path, time_t seconds, long nanoseconds) {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Another inode: the update below.
TEST(ImageStampTest, ChangesWithTheFilesSizeOrSecond) {
  TempDir dir;
  const std::string path = dir.file("helper");
  // Rewrites the file in place (same inode) and returns its stamp.
  auto rewrite = [&](const std::string& content, time_t seconds, long nanoseconds) {
    writeFile(path, content);
    setMtime(path, seconds, nanoseconds);
    return CodeSignValidator::stampOf(path).value();
  };
  const ImageStamp start = rewrite("AAAAAAAA", 1700000000, 100);
  EXPECT_EQ(rewrite("BBBBBBBB", 1700000000, 900000000), start);  // same second, size and inode
  EXPECT_NE(rewrite("AAAAAAAA", 1700000001, 0), start);          // a later second
  EXPECT_NE(rewrite("AAAAAAAAA", 1700000000, 0), start);         // another size
}

void resetStartupStamp() {
  std::lock_guard<std::mutex> guard(CodeSignValidator::stampLock());
  CodeSignValidator::startupStamp().reset();
}

TEST(ImageStampTest, OwnImageUnreadableSaysWhetherItWasReplaced) {
  const std::string selfFailed = "error: SecCodeCopySelf failed: -67065";
  const std::string replaced =
      "fault: rejecting client: our binary on disk was replaced after launch (app updated) — "
      "this process can no longer validate anyone";
  const std::string notSigned = "error: rejecting client: cannot read our own signing info (helper not signed?)";
  // An update: a file of the same size and time is renamed over it (only
  // the inode differs).
  auto update = [](const std::string& p) {
    writeFile(p + ".new", "new version");
    setMtime(p + ".new", 1700000000, 0);
    std::filesystem::rename(p + ".new", p);
  };
  const struct {
    std::string name;
    bool stampAtStart;
    std::function<void(const std::string&)> afterStart;
    bool selfFails;  // otherwise our own image is a damaged one
    Lines lines;
  } cases[] = {
      {"replaced by an update", true, update, true, {selfFailed, replaced}},
      {"deleted", true, [](const std::string& p) { std::filesystem::remove(p); }, true, {selfFailed, replaced}},
      {"unchanged", true, [](const std::string&) {}, true, {selfFailed, notSigned}},
      {"replaced, but no stamp was taken at start", false, update, true, {selfFailed, notSigned}},
      {"own dictionary unreadable after an update", true, update, false,
       {"error: SecCodeCopySigningInformation failed: -67061", replaced}},
  };
  TempDir dir;
  makeSignedCopy(dir.file("client"), team(kApp));
  makeSignedCopy(dir.file("damaged"), {kHelperID, testTeamKey(), tamper});
  RunningPeer client(dir.file("client"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir.file("helper"), "old version");
    setMtime(dir.file("helper"), 1700000000, 0);
    auto services = std::make_shared<SubstituteServices>();
    services->executablePath = dir.file("helper");
    if (c.selfFails) services->copySelfStatus = -67065;
    if (!c.selfFails) services->selfPath = dir.file("damaged");
    ServicesScope scope(services);
    resetStartupStamp();
    if (c.stampAtStart) CodeSignValidator::recordStartupStamp();
    c.afterStart(dir.file("helper"));
    EXPECT_EQ(judge(client.peer(), false), c.lines);
  }
  resetStartupStamp();
}

CommandResult tool(std::vector<std::string> args) {
  args.insert(args.begin(), builtProgram("tools/helper-codesign/helper-codesign"));
  return runCommand(args);
}
unsigned modeOf(const std::string& path) { return static_cast<unsigned>(std::filesystem::status(path).permissions()); }
long entries(const std::string& dir) { return std::distance(std::filesystem::directory_iterator(dir), {}); }
bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(HelperCodesignToolTest, MakesKeysAndSignsInPlace) {
  TempDir dir;
  const std::string key = dir.file("team.key"), file = dir.file("app");
  const auto made = tool({"keygen", "--out", key});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  EXPECT_EQ(modeOf(key), 0600u);
  const std::string pem = readFile(key), team = made.out.substr(0, made.out.size() - 1);
  EXPECT_EQ(made.out, teamOfKey(key) + "\n");
  const auto again = tool({"keygen", "--out", key});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_TRUE(has(again.err, "already exists")) << again.err;
  EXPECT_EQ(tool({"keygen", "--if-missing", "--out", key}).out, made.out);
  EXPECT_EQ(readFile(key), pem);

  makeSignedCopy(file, {});
  ::chmod(file.c_str(), 0750);
  const auto size = std::filesystem::file_size(file);
  std::filesystem::create_symlink(file, dir.file("link"));
  std::ifstream reader(file, std::ios::binary);  // opened before: keeps the old bytes
  const std::string before = readFile(file);
  const auto signedTeam = tool({"sign", "--identifier", "tarn.CorvalethApp", "--key", key, dir.file("link")});
  ASSERT_EQ(signedTeam.exitStatus, 0) << signedTeam.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
  EXPECT_EQ(modeOf(file), 0750u);
  const auto display = tool({"display", file});
  EXPECT_TRUE(has(display.out, "\nIdentifier=tarn.CorvalethApp\n")) << display.out;
  EXPECT_TRUE(has(display.out, "\nTeamIdentifier=" + team + "\n")) << display.out;
  const auto verify = tool({"verify", file});
  EXPECT_EQ(verify.exitStatus, 0) << verify.err;
  EXPECT_EQ(verify.out, file + ": valid on disk (Identifier=tarn.CorvalethApp, TeamIdentifier=" + team + ")\n");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reader), {}), before);

  const auto adhoc = tool({"sign", "--identifier", "x.y", "--adhoc", file});
  ASSERT_EQ(adhoc.exitStatus, 0) << adhoc.err;
  EXPECT_TRUE(has(adhoc.out, "replacing existing signature"));
  EXPECT_EQ(std::filesystem::file_size(file), size + codesign::trailerLength(codesign::SignatureKind::adhoc, 3));
  EXPECT_TRUE(has(tool({"display", file}).out, "\nTeamIdentifier=not set\n"));
  EXPECT_EQ(runCommand({file, "0"}).exitStatus, 0);  // still runs
  EXPECT_NE(tool({"keygen", "--force", "--out", key}).out, made.out);
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(entries(dir.path()), 3);  // key, program, link: nothing left behind
}

// Refusals, and what people read: help, warnings, keys made by openssl.
TEST(HelperCodesignToolTest, SaysWhyAndChangesNothingOnFailure) {
  HELPER_SKIP_UNLESS(::access("/usr/bin/openssl", X_OK) == 0 ? "" : "no /usr/bin/openssl (Debian package openssl)");
  TempDir dir;
  const std::string damaged = dir.file("damaged"), tampered = dir.file("tampered"), plain = dir.file("plain");
  const std::string content = std::string("payload\x40\x00\x00\x00", 11) + "HELPER-CSIG\n";
  writeFile(damaged, content);
  makeSignedCopy(tampered, {"a.b", testTeamKey(), tamper});
  makeSignedCopy(plain, {});
  for (const char* algorithm : {"ed25519", "RSA"}) {
    const auto made = runCommand({"/usr/bin/openssl", "genpkey", "-algorithm", algorithm, "-out", dir.file(algorithm)});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    ::chmod(dir.file(algorithm).c_str(), 0644);
  }
  const struct {
    std::vector<std::string> args;
    int status;
    std::string output;  // a part of stdout and stderr
  } cases[] = {
      {{"verify", plain}, 1, "status -67062: code object is not signed at all"},
      {{"verify", tampered}, 1, "status -67061: the contents do not match the signature"},
      {{"verify", damaged}, 1, "status -67049: malformed signature trailer: trailer length 64"},
      {{"display", damaged}, 1, "-67049"},
      {{"sign", "--identifier", "a", "--adhoc", damaged}, 1, "damaged signature trailer"},
      {{"sign", "--identifier", "a", "--key", damaged, damaged}, 1, "not a PEM private key"},
      {{"sign", "--identifier", "a", "--key", dir.file("RSA"), damaged}, 1, "not an Ed25519 key"},
      {{"sign", "--identifier", "a", damaged}, 64, "exactly one of --key KEY and --adhoc"},
      {{"sign", "--identifier", "has space", "--adhoc", damaged}, 64, "printable ASCII"},
      {{"sign", "--identifier", std::string(256, 'a'), "--adhoc", damaged}, 64, "longer than 255"},
      {{"sign", "--identifier", "a", "--adhoc", dir.path()}, 1, "not a regular file"},
      {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
      {{"--help"}, 0, "Examples:"},
      {{"sign", "--help"}, 0, "Exit status: 0 signed"},
      {{"sign", "--identifier", "a.b", "--key", dir.file("ed25519"), plain}, 0, "can be read by other users"},
  };
  for (const auto& c : cases) {
    const auto r = tool(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << c.args[0] << " " << r.err;
    EXPECT_TRUE(has(r.out + r.err, c.output)) << r.out << r.err;
  }
  EXPECT_EQ(readFile(damaged), content);
  EXPECT_EQ(entries(dir.path()), 5);
}

}  // namespace
}  // namespace helper::test
