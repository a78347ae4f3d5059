// helperctl probe against real proxies: what a user sees, and the exit
// status a script sees, for each way a proxy check can end.
#include <gtest/gtest.h>

#include "tests/framers/peers.h"
#include "tests/support/run_command.h"

namespace helper {
namespace {

using namespace helper::test;

std::string helperctl() { return builtProgram("tools/helperctl/helperctl"); }

CommandResult probe(const std::string& url, const std::string& target, const std::string& timeout = "5") {
  return runCommand({helperctl(), "probe", url, "--target", target, "--timeout", timeout}, "", 30);
}

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

TEST(ProbeTest, Socks5Outcomes) {
  HELPER_SKIP_UNLESS(missingProgram("/usr/bin/microsocks", "microsocks"));
  TempDir dir;
  EchoServer echo;
  auto server = startMicrosocks(dir, "alice", "s3cret");
  ASSERT_TRUE(server->waitUntilListening()) << server->log();
  const std::string proxy = at(server->port());
  const struct {
    std::string url;
    std::string target;
    int status;
    std::string says;
  } cases[] = {
      {"socks5://alice:s3cret@" + proxy, at(echo.port()), 0,
       "ok: the socks5 proxy at " + proxy + " opened a tunnel to " + at(echo.port())},
      {"127.0.0.1:" + std::to_string(server->port()) + ":alice:s3cret", "localhost:" + std::to_string(echo.port()), 0,
       "opened a tunnel to localhost:"},
      {"socks5://alice:nope@" + proxy, at(echo.port()), 4, "the proxy rejected the credentials"},
      {"socks5://" + proxy, at(echo.port()), 5,
       "accepts none of the authentication methods offered (none); it probably requires a user name"},
      {"socks5://alice:s3cret@" + proxy, at(freePort()), 6, "the proxy refused the connection to the target"},
      {"socks5://" + at(freePort()), at(echo.port()), 3, "cannot reach the socks5 proxy at"},
  };
  for (const auto& c : cases) {
    const auto r = probe(c.url, c.target);
    EXPECT_EQ(r.exitStatus, c.status) << c.url << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
}

TEST(ProbeTest, HttpOutcomes) {
  HELPER_SKIP_UNLESS(missingProgram("/usr/sbin/squid", "squid"));
  TempDir dir;
  EchoServer echo;
  auto server = startSquid(dir, "alice", "s3cret");
  ASSERT_TRUE(server->waitUntilListening()) << server->log();
  const std::string proxy = at(server->port());
  const struct {
    std::string url;
    int status;
    std::string says;
  } cases[] = {
      {"http://alice:s3cret@" + proxy, 0, "ok: the http proxy at " + proxy + " opened a tunnel"},
      {"http://alice:wrong@" + proxy, 4, "the proxy rejected the credentials"},
      {"http://" + proxy, 4, "the proxy requires a user name and password, and the URL has none"},
      {"http://alice@" + proxy, 4, "the URL has only one of them"},
      {"http://alice:s3cret@" + proxy, 6, "the proxy refused the connection to the target"},
  };
  for (const auto& c : cases) {
    const auto r = probe(c.url, c.status == 6 ? at(freePort()) : at(echo.port()));
    EXPECT_EQ(r.exitStatus, c.status) << c.url << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
}

TEST(ProbeTest, WrongKindOfServerAndTimeOut) {
  HELPER_SKIP_UNLESS(missingProgram("/usr/bin/tinyproxy", "tinyproxy"));
  TempDir dir;
  FixedReplyServer ssh("SSH-2.0-OpenSSH_9.2p1\r\n\r\n");
  auto tiny = startTinyproxy(dir);
  ASSERT_TRUE(tiny->waitUntilListening()) << tiny->log();
  const auto notSocks = probe("socks5://" + at(ssh.port()), "t:1");
  EXPECT_EQ(notSocks.exitStatus, 7) << notSocks.err;
  EXPECT_NE(notSocks.err.find("not a SOCKS5 proxy"), std::string::npos) << notSocks.err;
  const auto notHttp = probe("http://" + at(ssh.port()), "t:1");
  EXPECT_EQ(notHttp.exitStatus, 7) << notHttp.err;
  EXPECT_NE(notHttp.err.find("not an HTTP proxy"), std::string::npos) << notHttp.err;
  // tinyproxy waits for a request line and never answers a SOCKS greeting.
  const auto silent = probe("socks5://" + at(tiny->port()), "t:1", "0.3");
  EXPECT_EQ(silent.exitStatus, 9) << silent.err;
  EXPECT_NE(silent.err.find("no complete answer from the socks5 proxy at " + at(tiny->port()) + " within 0.3 s"), std::string::npos) << silent.err;
}

TEST(ProbeTest, CommandLineErrors) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"probe", "nonsense", "--target", "h:1"}, 2, "Невалидный proxy URL"},
      {{"probe", "socks5://h:1", "--target", "h"}, 64, "--target wants HOST:PORT"},
      {{"probe", "socks5://h:1", "--target", "h:0"}, 64, "--target wants HOST:PORT"},
      {{"probe", "socks5://h:1", "--target", "2001:db8::1:443"}, 64, "--target wants HOST:PORT"},
      {{"probe", "socks5://h:1", "--target", "h:1", "--timeout", "0"}, 64, ""},
      {{"probe", "socks5://h:1", "--target", "h:1", "--timeout", "soon"}, 64, ""},
      {{"probe", "socks5://h:1"}, 64, "--target is required"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{helperctl()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = runCommand(argv);
    EXPECT_EQ(r.exitStatus, c.status) << ::testing::PrintToString(c.args) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  const auto help = runCommand({helperctl(), "probe", "--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* line : {"4   the proxy rejected the credentials", "9   time-out", "64  bad command line"}) {
    EXPECT_NE(help.out.find(line), std::string::npos) << help.out;
  }
}

}  // namespace
}  // namespace helper
