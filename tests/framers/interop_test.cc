// The framers and helperctl probe against real proxy servers from Debian on
// loopback: each handshake must succeed or fail with the right code, the
// tunnel must carry bytes both ways to the test's own echo server, and probe
// must say what happened in words and in its exit status.
#include <gtest/gtest.h>

#include <map>

#include "helper/framers/proxy_framer.h"
#include "helper/framers/proxy_connect.h"
#include "tests/framers/peers.h"
#include "tests/framers/split_harness.h"
#include "tests/support/run_command.h"

namespace helper {
namespace {

using namespace helper::test;
using Values = std::map<std::string, std::string>;

// `text` with each {name} replaced by its value.
std::string fill(std::string text, const Values& values) {
  for (const auto& [name, value] : values) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) text.replace(at, name.size(), value);
  }
  return text;
}

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// Sends `data` through a tunnel to an echoing peer, 32 KiB at a time, each
// read back before the next; true when every byte came back unchanged.
bool echoes(stream::SocketStream& tunnel, const Bytes& data) {
  Bytes echoed, buf(65536);
  for (size_t at = 0; at < data.size(); at += 32768) {
    if (!tunnel.write(ByteView(data).subspan(at, std::min<size_t>(32768, data.size() - at)))) return false;
    while (echoed.size() < std::min<size_t>(at + 32768, data.size())) {
      const auto got = tunnel.read(buf);
      if (!got || *got == 0) return false;
      echoed.insert(echoed.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(*got));
    }
  }
  return echoed == data;
}

CommandResult helperctl(std::vector<std::string> args) {
  args.insert(args.begin(), builtProgram("tools/helperctl/helperctl"));
  return runCommand(args, "", 30);
}

// The proxy URL and target ({p} the proxy, {echo} the echo server, {closed}
// a port nobody listens on), the framer's code (0: a tunnel) and what probe
// says.
struct Attempt {
  std::string url, target;
  int code;
  std::string says;
};
struct ServerCase {
  const char* name;
  std::string (*unavailable)();
  Server (*start)(const TempDir&);
  std::vector<Attempt> attempts;
};

class InteropTest : public ::testing::TestWithParam<ServerCase> {};

TEST_P(InteropTest, HandshakesTunnelsAndProbe) {
  HELPER_SKIP_UNLESS(GetParam().unavailable());
  TempDir dir;
  LoopbackServer echo;
  const Server server = GetParam().start(dir);
  ASSERT_TRUE(server->waitUntilListening()) << "did not start:\n" << server->log();
  const Values values{{"{p}", at(server->port())}, {"{echo}", at(echo.port())}, {"{closed}", at(freePort())}};
  const std::map<int, int> exitStatus{{0, 0}, {kEAUTH, 4}, {EPROTONOSUPPORT, 5}, {ECONNREFUSED, 6}};
  for (const auto& a : GetParam().attempts) {
    const std::string url = fill(a.url, values), target = fill(a.target, values);
    SCOPED_TRACE(url + " to " + target);
    const auto proxy = ProxyConfig::parse(url);
    ASSERT_TRUE(proxy);
    const size_t colon = target.rfind(':');
    const ProxyTarget to{target.substr(0, colon), static_cast<uint16_t>(std::stoi(target.substr(colon + 1)))};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto connection = stream::connectTcp(proxy->host, proxy->port, deadline);
    ASSERT_TRUE(connection) << connection.error().message;
    const auto tunnel = openTunnel(std::move(*connection), *proxy, to, deadline);
    if (a.code == 0 && tunnel) {
      EXPECT_TRUE(echoes(**tunnel, randomBytes(1 << 20))) << "the tunnel lost or changed bytes";
    }
    EXPECT_EQ(tunnel ? 0 : tunnel.error().code, a.code) << (tunnel ? "" : tunnel.error().message);
    const auto r = helperctl({"probe", url, "--target", target, "--timeout", "5"});
    EXPECT_EQ(r.exitStatus, exitStatus.at(a.code)) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(fill(a.says, values)), std::string::npos) << r.out << r.err;
  }
}

const std::string kRefused = "the proxy refused the connection to the target";
std::string microsocks() { return missingProgram("/usr/bin/microsocks", "microsocks"); }
std::string squid() { return missingProgram("/usr/sbin/squid", "squid"); }

INSTANTIATE_TEST_SUITE_P(
    Servers, InteropTest,
    ::testing::Values(
        ServerCase{"microsocks", microsocks, [](const TempDir& d) { return startMicrosocks(d, "alice"); },
                   {{"socks5://alice:s3cret@{p}", "{echo}", 0, "ok: the socks5 proxy at {p} opened a tunnel to {echo}"},
                    {"socks5://alice:nope@{p}", "{echo}", kEAUTH, "the proxy rejected the credentials"},
                    {"socks5://{p}", "{echo}", EPROTONOSUPPORT,
                     "accepts none of the authentication methods offered (none); it probably requires a user name"},
                    {"socks5://alice:s3cret@{p}", "{closed}", ECONNREFUSED, kRefused}}},
        ServerCase{"dante", danteUnavailable, [](const TempDir& d) { return startDante(d, "socksuser"); },
                   {{"socks5://socksuser:s3cret@{p}", "{echo}", 0, ""},
                    {"socks5://socksuser:wrong@{p}", "{echo}", kEAUTH, ""}}},
        ServerCase{"squid", squid, [](const TempDir& d) { return startSquid(d, "alice"); },
                   {{"http://alice:s3cret@{p}", "{echo}", 0, "ok: the http proxy at {p} opened a tunnel"},
                    {"http://alice:s3cret@{p}", "{closed}", ECONNREFUSED, kRefused},  // 503
                    {"http://alice:wrong@{p}", "{echo}", kEAUTH, "the proxy rejected the credentials"},  // 407
                    {"http://{p}", "{echo}", kEAUTH,
                     "the proxy requires a user name and password, and the URL has none"},
                    {"http://alice@{p}", "{echo}", kEAUTH, "the URL has only one of them"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// helperctl probe where no real proxy is needed: the wrong kind of server, a
// silent one, none at all, and bad command lines.
TEST(ProbeTest, WithoutARealProxy) {
  const LoopbackServer ssh("SSH-2.0-OpenSSH_9.2p1\r\n\r\n", false), silent("", false);
  const Values values{{"{ssh}", at(ssh.port())}, {"{silent}", at(silent.port())}, {"{closed}", at(freePort())}};
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"socks5://{ssh}", "--target", "t:1"}, 7, "not a SOCKS5 proxy"},
      {{"http://{ssh}", "--target", "t:1"}, 7, "not an HTTP proxy"},
      {{"socks5://{silent}", "--target", "t:1", "--timeout", "0.3"}, 9,
       "no complete answer from the socks5 proxy at {silent} within 0.3 s"},
      {{"socks5://{closed}", "--target", "t:1"}, 3, "cannot reach the socks5 proxy at {closed}"},
      {{"nonsense", "--target", "h:1"}, 2, "Невалидный proxy URL"},
      {{"socks5://h:1", "--target", "h"}, 64, "--target wants HOST:PORT"},
      {{"socks5://h:1", "--target", "2001:db8::1:443"}, 64, "--target wants HOST:PORT"},
      {{"socks5://h:1", "--target", "h:1", "--timeout", "soon"}, 64, ""},
      {{"socks5://h:1"}, 64, "--target is required"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"probe"};
    for (const auto& a : c.args) args.push_back(fill(a, values));
    const auto r = helperctl(args);
    EXPECT_EQ(r.exitStatus, c.status) << ::testing::PrintToString(args) << r.err;
    EXPECT_NE((r.out + r.err).find(fill(c.says, values)), std::string::npos) << r.out << r.err;
  }
}

}  // namespace
}  // namespace helper
