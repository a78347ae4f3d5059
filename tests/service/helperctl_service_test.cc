// helperctl against the real helper: what it prints, the helper's messages
// passed on exactly, and exit statuses a script can rely on.
#include <gmock/gmock.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/service/service_fixture.h"
#include "tests/support/run_command.h"

extern char** environ;

namespace helper::test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

class HelperctlServiceTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    ctl_ = bin_ + "/helperctl";
    makeCopy(builtProgram("tools/helperctl/helperctl"), ctl_, "tarn.CorvalethApp");
  }

  CommandResult run(std::vector<std::string> args, const std::string& program = "", std::string rootDir = "") {
    std::vector<std::string> argv{"/usr/bin/env", "HELPER_ROOT=" + (rootDir.empty() ? root() : rootDir),
                                  program.empty() ? ctl_ : program};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, "", 120);
  }

  std::string ctl_;
};

TEST_F(HelperctlServiceTest, PingAndStatusShowWhatTheHelperSays) {
  const CommandResult ping = run({"ping"});
  EXPECT_EQ(ping.exitStatus, 0) << ping.err;
  EXPECT_THAT(ping.out, MatchesRegex("helper 1\\.0\\.0 \\(PID " + std::to_string(helper().pid()) +
                                     "\\) answered in [0-9]+\\.[0-9][0-9] ms\n"));
  const CommandResult table = run({"status"});
  EXPECT_EQ(table.exitStatus, 0);
  EXPECT_EQ(table.out,
            "active:          no\n"
            "upstream host:   -\n"
            "active since:    -\n"
            "relay sessions:  0\n"
            "helper version:  1.0.0\n"
            "bridge port:     0\n");
  const CommandResult json = run({"status", "--json"});
  EXPECT_EQ(json.out,
            R"({"$class":"CorvalethHelperStatus","isActive":false,"host":null,"since":0.0,"sessions":0,"version":"1.0.0","bridgePort":0})"
            "\n");
}

TEST_F(HelperctlServiceTest, ADetachedSessionIsKeptAndEndedByToken) {
  const CommandResult activated = run({"activate", "--detach", "--pid", "4242", "socks5://user:pw@192.0.2.10:1080"});
  ASSERT_EQ(activated.exitStatus, 0) << activated.err;
  const std::string token = activated.out.substr(0, activated.out.find('\n'));
  EXPECT_THAT(token, MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_THAT(activated.err, HasSubstr("helperctl heartbeat " + token));
  EXPECT_TRUE(helper().waitForLine("Service: activate request from PID 4242"));

  const CommandResult table = run({"status"});
  EXPECT_THAT(table.out, StartsWith("active:          yes\nupstream host:   192.0.2.10\nactive since:    20"));

  EXPECT_EQ(run({"heartbeat", token}).exitStatus, 0);
  std::string lower = token;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const CommandResult refused = run({"heartbeat", lower});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.err, "helperctl: heartbeat refused: no live session has this token\n");
  const CommandResult mismatch = run({"deactivate", lower});
  EXPECT_EQ(mismatch.exitStatus, 1);
  EXPECT_EQ(mismatch.err, "session token mismatch\n");  // the helper's text, as it sent it
  EXPECT_EQ(run({"deactivate", token}).exitStatus, 0);
  EXPECT_EQ(run({"deactivate", token}).exitStatus, 0);  // nothing active: succeeds
  EXPECT_THAT(run({"status"}).out, StartsWith("active:          no\n"));
}

TEST_F(HelperctlServiceTest, TheHelpersRefusalsArePrintedExactly) {
  const CommandResult bad = run({"activate", "socks5://"});
  EXPECT_EQ(bad.exitStatus, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err, "Невалидный proxy URL\n");
  setKnobs({{"exit_status", "1"}});
  const CommandResult failed = run({"activate", "--detach", "socks5://192.0.2.10:1080"});
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_THAT(failed.err, HasSubstr("mihomo exited (status 1)"));
}

TEST_F(HelperctlServiceTest, InTheForegroundItShowsProgressAndDeactivatesOnSigterm) {
  setKnobs({{"tun_delay_ms", "1500"}});
  const std::string out = tmp_.file("ctl.out"), err = tmp_.file("ctl.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const std::string rootVar = "HELPER_ROOT=" + root();
  std::vector<char*> argv{const_cast<char*>("/usr/bin/env"), const_cast<char*>(rootVar.c_str()),
                          const_cast<char*>(ctl_.c_str()), const_cast<char*>("activate"),
                          const_cast<char*>("socks5://192.0.2.10:1080"), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  std::string token;
  for (int i = 0; i < 1000 && token.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string text = readFile(out);
    if (text.find('\n') != std::string::npos) token = text.substr(0, text.find('\n'));
  }
  ASSERT_FALSE(token.empty()) << readFile(err);
  EXPECT_THAT(readFile(err), HasSubstr("waiting for the helper to bring up the tunnel… 1 s\n"));
  EXPECT_TRUE(helper().waitForLine("activated: TUN routes ALL traffic"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << readFile(err);
  EXPECT_THAT(readFile(err), HasSubstr("heartbeating every 5 s"));
  EXPECT_THAT(readFile(err), HasSubstr("deactivated\n"));
  EXPECT_TRUE(helper().waitForLine("Service: deactivated"));
  EXPECT_TRUE(runningEngines().empty());
}

TEST_F(HelperctlServiceTest, ExitStatusesTellWhyItCouldNotTalkToTheHelper) {
  // No helper at that root.
  const CommandResult missing = run({"ping"}, "", tmp_.file("empty-root"));
  EXPECT_EQ(missing.exitStatus, 3);
  EXPECT_EQ(missing.err, "helperctl: the helper is not running (no socket at " + tmp_.file("empty-root") +
                             "/run/tarn.CorvalethApp.helper.xpc)\n");
  // The unsigned build of helperctl is not the application.
  const CommandResult stranger = run({"status"}, builtProgram("tools/helperctl/helperctl"));
  EXPECT_EQ(stranger.exitStatus, 4);
  EXPECT_THAT(stranger.err, HasSubstr("the helper refused the connection: this program is not allowed"));
  // Each command documents its statuses.
  for (const char* command : {"ping", "status", "activate", "heartbeat", "deactivate"}) {
    const CommandResult help = run({command, "--help"});
    EXPECT_EQ(help.exitStatus, 0) << command;
    EXPECT_THAT(help.out, HasSubstr("Exit status: 0")) << command;
    EXPECT_THAT(help.out, HasSubstr("3 the helper is not running")) << command;
  }
  EXPECT_EQ(run({"heartbeat"}).exitStatus, 64);
}

}  // namespace
}  // namespace helper::test
