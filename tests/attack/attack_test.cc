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
#include <thread>

#include "tests/service/helper_fixture.h"
#include "tests/support/local_user.h"

namespace helper::test {
namespace {

using ::testing::HasSubstr;

constexpr const char* kAttackerURL = "socks5://198.51.100.66:1080";

// Starts `argv` as `user` with exactly `pid` (clone3 with set_tid, which
// needs root) and `input` as its standard input. Returns the pid, or -1 with
// errno set.
pid_t startWithPid(const ThrowawayUser& user, const std::vector<std::string>& argv, pid_t pid, int input) {
  std::vector<std::string> full = user.as(argv);
  std::vector<char*> args;
  for (auto& a : full) args.push_back(a.data());
  args.push_back(nullptr);
  clone_args ca{};
  ca.exit_signal = SIGCHLD;
  ca.set_tid = reinterpret_cast<std::uint64_t>(&pid);
  ca.set_tid_size = 1;
  const long rc = ::syscall(SYS_clone3, &ca, sizeof ca);
  if (rc == 0) {
    ::dup2(input, 0);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return static_cast<pid_t>(rc);
}

class AttackTest : public HelperFixture {
 protected:
  void SetUp() override {
    clientGroup();  // before the helper starts: it reads the group's name then
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
  // The refusals of the helper's code-signing trust so far, a line each.
  std::string refusals() const {
    std::string out;
    for (const auto& line : lines()) {
      if (line.find(" CodeSign: ") != std::string::npos && line.find("rejecting") != std::string::npos) out += line;
    }
    return out;
  }
  // `client activate URL --pid marker --detach`.
  static std::vector<std::string> activation(const std::string& client, int marker, const char* url = kAttackerURL) {
    return {client, "activate", url, "--pid", std::to_string(marker), "--detach"};
  }

  ThrowawayUser user_;
  std::string app_, attacker_;
};

// The control first: the installed application, run by the ordinary user,
// is served and its marker shows up. Then the signed client in every form
// that leaves its code or its connection open to the user, each refused at
// admission with the reason in the log: from a memfd it can still rewrite,
// as its own copy or through a link to it, started under ptrace; a process
// that connects and then execs the client with its parent speaking for it
// on the shared socket, once inside user and pid namespaces of its own,
// where the parent may name the child in the credentials of its packets;
// root running the user's copy, which the user could swap at any moment.
// Code of the user's own (LD_PRELOAD, or named like a library the client
// loads) never runs inside the installed client: its set-group-ID start puts
// it in secure mode. In the copy without that bit the code runs (the
// control of that), and the copy is refused.
TEST_F(AttackTest, OnlyTheInstalledApplicationIsServed) {
  const std::string copy = user_.home() + "/copy", link = user_.home() + "/link";
  ASSERT_EQ(user_.run({"/bin/cp", app_, copy}).exitStatus, 0);  // no set-group-ID bit
  ASSERT_EQ(user_.run({"/bin/ln", "-s", copy, link}).exitStatus, 0);
  const std::string evil = user_.home() + "/libevil.so", shimDir = user_.home() + "/lib";
  std::filesystem::copy_file(builtProgram("tests/attack/libevil_preload.so"), evil);
  std::filesystem::create_directories(shimDir);
  std::filesystem::copy_file(evil, shimDir + "/libcrypto.so.3");
  ::chown(shimDir.c_str(), user_.uid(), user_.gid());
  const std::string mark = user_.home() + "/evil-ran";
  const auto injected = [&](const std::string& variable, const std::string& client) {
    return std::vector<std::string>{"/usr/bin/env", variable, "EVIL_MARK=" + mark, client, "ping"};
  };
  const std::string notApp = "does not run as the application";
  // Everyone may connect; admission decides.
  EXPECT_EQ(std::filesystem::status(paths::rooted(kControlSocketPath)).permissions(), std::filesystem::perms(0666));
  const struct {
    std::vector<std::string> argv;
    int marker;
    std::string refusal;  // what the helper's refusal says; "" when nothing is refused
    bool served = false;
    bool injectedCodeRuns = false;
    bool asRoot = false;
  } cases[] = {
      {activation(app_, 31399), 31399, "", true},
      {{attacker_, "memfd", "31301", app_, kAttackerURL}, 31301, notApp},
      {activation(copy, 31302), 31302, notApp},
      {activation(link, 31303), 31303, notApp},
      {{attacker_, "traceme", "31304", app_, kAttackerURL}, 31304, notApp},
      {{attacker_, "connect-exec", "31321", app_, kAttackerURL}, 31321,
       notApp + " (effective group " + std::to_string(user_.gid())},
      {{attacker_, "userns-forge", "31322", app_, kAttackerURL}, 31322, "it runs in another pid or user namespace"},
      {activation(copy, 31305), 31305, "is owned by uid " + std::to_string(user_.uid()) + ", not by root", false,
       false, true},
      {injected("LD_PRELOAD=" + evil, app_), 31311, ""},
      {injected("LD_LIBRARY_PATH=" + shimDir, app_), 31312, ""},
      {injected("LD_PRELOAD=" + evil, copy), 31313, notApp, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv[1] + " " + std::to_string(c.marker));
    std::filesystem::resize_file(tmp_.file("helper.log"), 0);  // the helper appends
    std::filesystem::remove(mark);
    const CommandResult r = c.asRoot ? runCommand(c.argv) : user_.run(c.argv, "", 60);
    EXPECT_EQ(served(c.marker), c.served) << r.out << r.err;
    EXPECT_EQ(std::filesystem::exists(mark), c.injectedCodeRuns) << r.out << r.err;
    if (c.refusal.empty()) {
      EXPECT_EQ(refusals(), "");
    } else {
      EXPECT_THAT(refusals(), HasSubstr(c.refusal));
    }
  }
}

// A running installed client is closed to its user: no ptrace, no write to
// its /proc/PID/mem. And on kernels without SO_PEERPIDFD the helper pins a
// peer with pidfd_open right after accept (forced here with
// HELPER_PIDFD_FALLBACK=1): an unsigned process connects and exits while the
// helper is held, and its pid is then given to the installed client. The
// pidfd names the client, but the connection was made with the attacker's
// group: refused.
TEST_F(AttackTest, TheSignedClientCannotBeTracedNorLendItsReusedPidToAnotherConnection) {
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
  // The client waits for its URL on a pipe that stays open until the end.
  int input[2];
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  const UniqueFd readEnd(input[0]), writeEnd(input[1]);
  pid_t reused = -1;
  for (int attempt = 0; attempt < 20 && reused < 0; ++attempt) {
    reused = startWithPid(user_, {app_, "activate", "-"}, pid, readEnd.get());
    if (reused < 0) ::usleep(10000);  // the pid was not free yet
  }
  ASSERT_EQ(reused, pid) << std::strerror(errno);
  ASSERT_TRUE(eventually([&] { return readFile("/proc/" + std::to_string(pid) + "/cmdline").find(app_) == 0; }));
  const CommandResult r = user_.run({attacker_, "ptrace", std::to_string(pid)}, "", 60);
  EXPECT_THAT(r.out, HasSubstr("attach: Operation not permitted"));
  EXPECT_THAT(r.out, HasSubstr("mem: Permission denied"));
  ASSERT_EQ(::kill(helper_->pid(), SIGCONT), 0);
  EXPECT_TRUE(waitForLine("rejecting client (PID " + std::to_string(pid) +
                          "): it does not run as the application (effective group " + std::to_string(user_.gid())))
      << readFile(tmp_.file("helper.log"));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// A legitimate client (root) pings every 20 ms for as long as it lives; the
// worst answer time is printed and must stay under 100 ms.
class Pinger {
 public:
  Pinger()
      : thread_([this] {
          try {
            auto c = HelperClient::connect();
            while (!stop_) {
              const auto sent = Clock::now();
              c->ping();
              worst_ = std::max(worst_.load(), std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
          } catch (const std::exception& e) {
            failure_ = e.what();
          }
        }) {}
  ~Pinger() {
    stop_ = true;
    thread_.join();
    std::printf("worst ping while attacked: %.2f ms\n", worst_.load());
    EXPECT_EQ(failure_, "");
    EXPECT_LT(worst_, 100);
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> worst_{0};
  std::string failure_;
  std::thread thread_;
};

// Availability: one user at their worst costs others nothing.
TEST_F(AttackTest, OneUsersWorstCostsNobodyElseAnything) {
  const Pinger pinger;
  // A program that passes admission (here the attacker's own program,
  // installed as the application) opens 64 connections and stops itself:
  // 16 are its user's share, the rest are refused at once, and those it
  // holds without a request are closed after 15 s, which frees their
  // places. Meanwhile others are served.
  const std::string hoarder = tmp_.file("bin/hoarder");
  installAsApplication(attacker_, hoarder);
  const std::string heardFile = tmp_.file("hoard.out");
  const int heardFd = ::open(heardFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  auto hoarding = user_.start({hoarder, "hoard", "64"}, heardFd);
  ::close(heardFd);
  std::string heard;
  const auto allHeard = [&] {
    heard = readFile(heardFile);
    return std::count(heard.begin(), heard.end(), '\n') == 64;
  };
  ASSERT_TRUE(eventually(allHeard, 30)) << heard;
  const auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = heard.find(text); at != std::string::npos; at = heard.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("hello\n"), 16u) << heard;
  EXPECT_EQ(count("too many connections to the helper from this user (limit 16)"), 48u);
  const CommandResult other = ThrowawayUser().run({app_, "status"});
  EXPECT_EQ(other.exitStatus, 0) << other.err;
  EXPECT_TRUE(waitForLine("no request for 15 s", 20, 16));
  hoarding->sendSignal(SIGKILL);

  // A huge executable of the user's own (16 GiB, sparse, still ending in the
  // application's signature trailer) is refused without a byte of it read.
  const std::string huge = user_.home() + "/huge";
  ASSERT_EQ(user_.run({"/bin/cp", app_, huge}).exitStatus, 0);
  const std::string trailer = readFile(app_).substr(std::filesystem::file_size(app_) - 200);
  ASSERT_EQ(user_.run({"/usr/bin/truncate", "-s", "16G", huge}).exitStatus, 0);
  ASSERT_EQ(user_.run({"/bin/sh", "-c", "cat >> \"$0\"", huge}, trailer).exitStatus, 0);
  const auto started = Clock::now();
  EXPECT_EQ(user_.run({huge, "ping"}).exitStatus, 4);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
  EXPECT_THAT(refusals(), HasSubstr("does not run as the application"));

  // A process that names the engine survives the sweep that ends a session,
  // which kills every engine, and only engines.
  auto namer = user_.start({"/bin/sh", "-c", "sleep 60; :", enginePath_});
  auto root = client();
  EXPECT_TRUE(root->deactivate(activate(*root)).success);
  EXPECT_TRUE(namer->isRunning());
  namer->sendSignal(SIGKILL);

  // A session belongs to its user: another user can neither replace nor
  // end it, not even with its token.
  const CommandResult mine = user_.run(activation(app_, 4242, "socks5://192.0.2.30:1080"));
  ASSERT_EQ(mine.exitStatus, 0) << mine.err;
  const std::string token = mine.out.substr(0, mine.out.find('\n')) + "\n";
  ThrowawayUser intruder;
  const std::string notOwner = "the live session belongs to another user; only that user or root can replace or end it";
  for (const CommandResult& r :
       {intruder.run(activation(app_, 31331)), intruder.run({app_, "deactivate", "-"}, token)}) {
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_THAT(r.err, HasSubstr(notOwner));
  }
  EXPECT_EQ(root->status().activeProxyHost(), "192.0.2.30");
  EXPECT_EQ(user_.run({app_, "deactivate", "-"}, token).exitStatus, 0);
}

}  // namespace
}  // namespace helper::test
