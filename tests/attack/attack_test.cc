// A hostile local user against the real helper: an ordinary account made for
// the test tries every way it has to get a request served without being the
// installed application, and to keep others from being served. Each attempt
// asks for an activation with a marker of its own as its client pid; the
// helper's log shows whether a request with that marker was ever served.
// The positive control, the installed application run by the same user,
// proves that such a request would be seen.
#include <gmock/gmock.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

#include "tests/service/helper_fixture.h"
#include "tests/support/local_user.h"

namespace helper::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kAttackerURL = "socks5://198.51.100.66:1080";

// Starts `argv` as `user` with a pipe as its standard input, which stays
// open as long as `*input` does, so a client reading a secret from it waits;
// with `pid` > 0 with exactly that pid (clone3 with set_tid, which needs
// root). Returns the pid, or -1 with errno set.
pid_t startAs(const ThrowawayUser& user, const std::vector<std::string>& argv, UniqueFd* input, pid_t pid = 0) {
  std::vector<std::string> full = user.as(argv);
  std::vector<char*> args;
  for (auto& a : full) args.push_back(a.data());
  args.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  clone_args ca{};
  ca.exit_signal = SIGCHLD;
  if (pid > 0) {
    ca.set_tid = reinterpret_cast<std::uint64_t>(&pid);
    ca.set_tid_size = 1;
  }
  const long rc = ::syscall(SYS_clone3, &ca, sizeof ca);
  if (rc == 0) {
    ::dup2(fds[0], 0);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  const int error = errno;
  ::close(fds[0]);
  input->reset(fds[1]);
  errno = error;
  return static_cast<pid_t>(rc);
}

class AttackTest : public HelperFixture {
 protected:
  void SetUp() override {
    ClientGroup::get();  // before the helper starts: it reads the group's name then
    HelperFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    app_ = tmp_.file("bin/app");
    installAsApplication(builtProgram("tools/helperctl/helperctl"), app_);
    attacker_ = user_.home() + "/attacker";
    std::filesystem::copy_file(builtProgram("tests/attack/attacker"), attacker_);
    ::chown(attacker_.c_str(), user_.uid(), user_.gid());
  }

  // Whether a request with this marker as its client pid was served.
  bool served(int marker) const {
    return waitForLine("activate request from PID " + std::to_string(marker), 0).has_value();
  }
  // The last refusal line of the helper's code-signing trust.
  std::string lastRefusal() const {
    const auto lines = messages("CodeSign");
    const auto it = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) {
      return l.find("rejecting") != std::string::npos;
    });
    return it == lines.rend() ? "" : *it;
  }
  // `client activate URL --pid marker --detach`.
  static std::vector<std::string> activation(const std::string& client, int marker) {
    return {client, "activate", kAttackerURL, "--pid", std::to_string(marker), "--detach"};
  }
  // Waits until `pid` runs the installed application.
  bool runsApp(pid_t pid) const {
    return eventually([&] { return readFile("/proc/" + std::to_string(pid) + "/cmdline").find(app_) == 0; });
  }

  ThrowawayUser user_;
  std::string app_, attacker_;
};

// The control: the installed application, run by the ordinary user, is
// served; the marker of its request shows up.
TEST_F(AttackTest, TheInstalledApplicationIsServedAndTheHarnessSeesIt) {
  const CommandResult r = user_.run(activation(app_, 31399));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(served(31399)) << r.err;
  EXPECT_EQ(user_.run({app_, "deactivate", "-"}, r.out.substr(0, r.out.find('\n')) + "\n").exitStatus, 0);
}

// The signed client run in ways that leave its code or its connection open
// to the user, each refused at admission with the reason in the log: from
// a memfd it can still rewrite, as its own copy or through a link to it,
// started under ptrace; a process that connects and then execs the client
// with its parent speaking for it on the shared socket, once inside user
// and pid namespaces of its own, where the parent may name the child in
// the credentials of its packets; and root running the user's copy, which
// the user could swap at any moment.
TEST_F(AttackTest, TheSignedClientInAFormTheUserControlsIsRefused) {
  const std::string copy = user_.home() + "/copy", link = user_.home() + "/link";
  ASSERT_EQ(user_.run({"/bin/cp", app_, copy}).exitStatus, 0);
  ASSERT_EQ(user_.run({"/bin/ln", "-s", copy, link}).exitStatus, 0);
  const std::string notApp = "does not run as the application", refused = "greeting: {\"refused\"";
  const struct {
    std::vector<std::string> argv;
    bool asRoot;
    int marker;
    std::string reason, output;
  } cases[] = {
      {{attacker_, "memfd", "31301", app_, kAttackerURL}, false, 31301, notApp, ""},
      {activation(copy, 31302), false, 31302, notApp, ""},
      {activation(link, 31303), false, 31303, notApp, ""},
      {{attacker_, "traceme", "31304", app_, kAttackerURL}, false, 31304, notApp, ""},
      {{attacker_, "connect-exec", "31321", app_, kAttackerURL}, false, 31321,
       notApp + " (effective group " + std::to_string(user_.gid()), refused},
      {{attacker_, "userns-forge", "31322", app_, kAttackerURL}, false, 31322,
       "it runs in another pid or user namespace", refused},
      {activation(copy, 31305), true, 31305, "is owned by uid " + std::to_string(user_.uid()) + ", not by root", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[1] + " " + std::to_string(c.marker));
    const CommandResult r = c.asRoot ? runCommand(c.argv) : user_.run(c.argv, "", 60);
    EXPECT_THAT(r.out, HasSubstr(c.output)) << r.err;
    EXPECT_FALSE(served(c.marker)) << r.out << r.err;
    EXPECT_THAT(lastRefusal(), HasSubstr(c.reason));
  }
}

// Code of the user's own inside the signed client: the set-group-ID start
// puts the client in secure mode, so the loader ignores LD_PRELOAD and
// LD_LIBRARY_PATH and the user may neither trace it nor write its memory.
// Without the set-group-ID bit the same injections run, and the client is
// refused for not running as the application.
TEST_F(AttackTest, CodeOfTheUsersOwnNeverRunsInsideTheInstalledClient) {
  const std::string evil = user_.home() + "/libevil.so", shimDir = user_.home() + "/lib";
  std::filesystem::copy_file(builtProgram("tests/attack/libevil_preload.so"), evil);
  std::filesystem::create_directories(shimDir);
  std::filesystem::copy_file(evil, shimDir + "/libcrypto.so.3");  // named like a library the client loads
  ::chown(shimDir.c_str(), user_.uid(), user_.gid());
  const std::string plain = user_.home() + "/plain", mark = user_.home() + "/evil-ran";
  ASSERT_EQ(user_.run({"/bin/cp", app_, plain}).exitStatus, 0);  // no set-group-ID bit
  const struct {
    std::string variable, client;
    int marker;
    bool runs;  // the injected code runs
  } cases[] = {
      {"LD_PRELOAD=" + evil, app_, 31311, false},
      {"LD_LIBRARY_PATH=" + shimDir, app_, 31312, false},
      {"LD_PRELOAD=" + evil, plain, 31313, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variable + " " + c.client);
    std::filesystem::remove(mark);
    const CommandResult r = user_.run({"/usr/bin/env", c.variable, "EVIL_MARK=" + mark,
                                       "EVIL_PID=" + std::to_string(c.marker), c.client, "ping"});
    EXPECT_EQ(std::filesystem::exists(mark), c.runs) << r.out << r.err;
    EXPECT_FALSE(served(c.marker));
  }

  // ptrace and /proc/PID/mem against the running installed client.
  UniqueFd input;
  const pid_t client = startAs(user_, {app_, "activate", "-"}, &input);
  ASSERT_GT(client, 0);
  ASSERT_TRUE(runsApp(client));
  const CommandResult r = user_.run({attacker_, "ptrace", std::to_string(client)}, "", 60);
  EXPECT_THAT(r.out, HasSubstr("attach: Operation not permitted"));
  EXPECT_THAT(r.out, HasSubstr("mem: Permission denied"));
  ::kill(client, SIGKILL);
  ::waitpid(client, nullptr, 0);
}

// On kernels without SO_PEERPIDFD the helper pins a peer with pidfd_open
// right after accept (forced here with HELPER_PIDFD_FALLBACK=1). An
// unsigned process connects and exits while the helper is held; its pid is
// then given to the installed client. The pidfd names the client, but the
// connection was made with the attacker's group: refused.
TEST_F(AttackTest, APidReusedByTheSignedClientDoesNotAdmitTheConnectionOfItsPredecessor) {
  stopHelper();
  ::setenv("HELPER_PIDFD_FALLBACK", "1", 1);
  startHelper();
  ::unsetenv("HELPER_PIDFD_FALLBACK");
  // The connection waits in the backlog once every thread of the helper has
  // stopped; until then one of them may still accept it.
  ASSERT_EQ(::kill(helper_->pid(), SIGSTOP), 0);
  ASSERT_TRUE(eventually([&] {
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(helper_->pid()) + "/task")) {
      const std::string stat = readFile(task.path().string() + "/stat");
      if (stat.substr(stat.rfind(')') + 2, 1) != "T") return false;
    }
    return true;
  }));
  const pid_t pid = std::stoi(user_.run({attacker_, "connect-exit"}).out);
  ASSERT_TRUE(eventually([&] { return ::kill(pid, 0) != 0; }));
  pid_t reused = -1;
  UniqueFd input;
  for (int attempt = 0; attempt < 20 && reused < 0; ++attempt) {
    reused = startAs(user_, {app_, "activate", "-"}, &input, pid);
    if (reused < 0) ::usleep(10000);  // the pid was not free yet
  }
  ASSERT_EQ(reused, pid) << std::strerror(errno);
  ASSERT_TRUE(runsApp(pid));
  ASSERT_EQ(::kill(helper_->pid(), SIGCONT), 0);
  EXPECT_TRUE(waitForLine("rejecting client (PID " + std::to_string(pid) +
                          "): it does not run as the application (effective group " + std::to_string(user_.gid())))
      << readFile(tmp_.file("helper.log"));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Availability: while one user does their worst, a legitimate client's ping
// is answered within 100 ms, the live session survives, and nothing but an
// engine is ever killed.
class AvailabilityTest : public AttackTest {
 protected:
  void SetUp() override {
    AttackTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    owner_ = client();
    token_ = activate(*owner_);
    pinger_ = client();
    // Pings every 20 ms; the session's owner heartbeats every second, as the
    // application does every five.
    watching_ = std::async(std::launch::async, [this] {
      double worst = 0;
      for (int i = 0; !stop_; ++i) {
        worst = std::max(worst, pingMillis(*pinger_));
        if (i % 50 == 0) owner_->heartbeat(token());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return worst;
    });
  }
  // The worst ping so far; the session must have survived.
  void expectServedThroughout() {
    stop_ = true;
    const double worst = watching_.get();
    std::printf("worst ping while attacked: %.2f ms\n", worst);
    EXPECT_LT(worst, 100);
    EXPECT_TRUE(owner_->heartbeat(token()));
    EXPECT_EQ(owner_->status().activeProxyHost(), "192.0.2.10");
  }

  std::string token() {
    std::lock_guard<std::mutex> guard(mutex_);
    return token_;
  }
  // A new session of the owner's, after a test made way for another.
  void reactivate() {
    const std::string token = activate(*owner_);
    std::lock_guard<std::mutex> guard(mutex_);
    token_ = token;
  }

  std::unique_ptr<HelperClient> owner_, pinger_;
  std::mutex mutex_;
  std::string token_;
  std::atomic<bool> stop_{false};
  std::future<double> watching_;
};

// glibc's malloc arenas other than the main one in process `pid`: each heap
// is a 64 MiB reservation at a 64 MiB boundary, its used part readable and
// writable, the rest inaccessible.
size_t mallocArenas(pid_t pid) {
  std::istringstream maps(readFile("/proc/" + std::to_string(pid) + "/maps"));
  size_t arenas = 0;
  unsigned long heapEnd = 0;
  for (std::string line; std::getline(maps, line);) {
    unsigned long start = 0, end = 0;
    char mode[5] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, mode) != 3) continue;
    if (start % (64ul << 20) == 0 && mode[0] == 'r') heapEnd = start + (64ul << 20);
    if (end == heapEnd && std::string(mode) == "---p") ++arenas;
  }
  return arenas;
}

// A program that passes admission (here the attacker's own program,
// installed as the application) opens 64 connections and stops itself:
// 16 are its user's share, the rest are refused at once, and those it holds
// without a request are closed after 15 s. Meanwhile another user is
// served. Each connection has a thread of its own in the helper; they share
// one malloc arena beside the main one, where glibc would give each thread
// its own (up to eight per core), and the memory of a busy minute would
// stay spread over them.
TEST_F(AvailabilityTest, HoardedConnectionsAreCappedPerUserAndIdleOnesClosed) {
  const std::string hoarder = tmp_.file("bin/hoarder");
  installAsApplication(attacker_, hoarder);
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  const UniqueFd out(pipeFds[0]);
  auto hoarding = user_.start({hoarder, "hoard", "64"}, pipeFds[1]);
  ::close(pipeFds[1]);
  std::string heard;
  for (char buf[4096]; std::count(heard.begin(), heard.end(), '\n') < 64;) {
    const ssize_t n = ::read(out.get(), buf, sizeof buf);
    if (n <= 0) break;
    heard.append(buf, static_cast<size_t>(n));
  }
  const auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = heard.find(text); at != std::string::npos; at = heard.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("hello\n"), 16u) << heard;
  EXPECT_EQ(count("too many connections to the helper from this user (limit 16)"), 48u);
  EXPECT_LE(mallocArenas(helper_->pid()), 1u);
  const CommandResult served = ThrowawayUser().run({app_, "status"});  // another user
  EXPECT_EQ(served.exitStatus, 0) << served.err;
  EXPECT_TRUE(waitForLine("no request for 15 s", 20, 16));
  expectServedThroughout();
  hoarding->sendSignal(SIGKILL);
}

// Neither a huge executable of the user's own nor a process in the engine's
// name costs anyone anything: the first is refused without a byte of it
// being read, the second is never killed by the sweep.
TEST_F(AvailabilityTest, AHugeImageIsRefusedUnreadAndAProcessNamingTheEngineIsSpared) {
  const std::string huge = user_.home() + "/huge";
  ASSERT_EQ(user_.run({"/bin/cp", app_, huge}).exitStatus, 0);
  // 16 GiB, sparse, still ending in the application's signature trailer.
  const std::string trailer = readFile(app_).substr(std::filesystem::file_size(app_) - 200);
  ASSERT_EQ(user_.run({"/usr/bin/truncate", "-s", "16G", huge}).exitStatus, 0);
  ASSERT_EQ(user_.run({"/bin/sh", "-c", "cat >> \"$0\"", huge}, trailer).exitStatus, 0);
  const auto started = Clock::now();
  EXPECT_EQ(user_.run({huge, "ping"}).exitStatus, 4);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_THAT(lastRefusal(), HasSubstr("does not run as the application"));

  auto namer = user_.start({"/bin/sh", "-c", "sleep 60; :", enginePath_});
  // A session ends: its sweep kills every engine, and only engines.
  auto c = client();
  const std::string token = activate(*c, "socks5://192.0.2.20:1080", 4243);  // replaces the owner's session
  EXPECT_TRUE(c->deactivate(token).success);
  EXPECT_TRUE(namer->isRunning());
  namer->sendSignal(SIGKILL);
  reactivate();
  expectServedThroughout();
}

// A session belongs to its user: another user can neither replace nor end
// it, not even with its token.
TEST_F(AvailabilityTest, AnotherUsersActivateOrDeactivateChangesNothing) {
  ASSERT_TRUE(owner_->deactivate(token()).success);  // root's session makes way for the user's
  const CommandResult mine = user_.run({app_, "activate", "socks5://192.0.2.30:1080", "--detach"});
  ASSERT_EQ(mine.exitStatus, 0) << mine.err;
  const std::string token = mine.out.substr(0, mine.out.find('\n')) + "\n";
  ThrowawayUser other;
  const std::string notOwner = "the live session belongs to another user; only that user or root can replace or end it";
  for (const CommandResult& r : {other.run({app_, "activate", kAttackerURL, "--detach"}),
                                 other.run({app_, "deactivate", "-"}, token)}) {
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_THAT(r.err, HasSubstr(notOwner));
  }
  EXPECT_EQ(user_.run({app_, "heartbeat", "-"}, token).exitStatus, 0);
  EXPECT_EQ(owner_->status().activeProxyHost(), "192.0.2.30");
  EXPECT_EQ(user_.run({app_, "deactivate", "-"}, token).exitStatus, 0);
  reactivate();
  expectServedThroughout();
}

}  // namespace
}  // namespace helper::test
