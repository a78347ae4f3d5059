// The SOCKS5 and HTTP CONNECT framers on the in-memory driver, and the
// hand-off of setups to framers by concurrent openTunnel() calls.
#include <gtest/gtest.h>

#include <atomic>

#include "helper/framers/http_connect_framer.h"
#include "helper/framers/proxy_framer.h"
#include "helper/framers/socks5_framer.h"
#include "tests/framers/peers.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;

const stream::FramerDefinition& socks5() { return SOCKS5Framer::definition(); }
const stream::FramerDefinition& http() { return HTTPConnectFramer::definition(); }

constexpr int kPending = -1;  // the handshake has not ended

// Every way of cutting the proxy's bytes, `handshake` then `after`, gives
// the same writes and ending (`code`): 0 makes the stream ready, having
// consumed nothing beyond the handshake before that, and delivers `after`
// at once; a failure code consumes the handshake and leaves `after` alone;
// kPending consumes `handshake` and waits for more.
void expectEverySplit(const stream::FramerDefinition& definition, const std::optional<ProxyConnectSetup>& setup,
                      const Bytes& handshake, const Bytes& after, const std::vector<Bytes>& writes, int code) {
  const Bytes input = concat({handshake, after});
  const bool ready = code == 0;
  const std::optional<int> failure = code > 0 ? std::optional(code) : std::nullopt;
  const Outcome expected(ready, failure, writes, ready ? after : Bytes(), code == kPending ? 0 : handshake.size(),
                         ready ? input.size() : handshake.size(), ready ? 0 : after.size(), true);
  for (const auto& cuts : splitsOf(input.size())) {
    ASSERT_EQ(runSplit(definition, setup, input, cuts), expected) << ::testing::PrintToString(cuts);
  }
}

// The framer's requests, for lengths below 256.
Bytes connectRequest(std::string_view host, uint16_t port) {
  return concat({bytes({5, 1, 0, 3, static_cast<int>(host.size())}), bytes(host), bytes({port >> 8, port & 0xFF})});
}
Bytes authRequest(std::string_view user, std::string_view password) {
  return concat({bytes({1, static_cast<int>(user.size())}), bytes(user), bytes({static_cast<int>(password.size())}),
                 bytes(password)});
}

const Bytes kReplyIPv4 = bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x1F, 0x90});
const Bytes kReplyDomain = bytes({5, 0, 0, 3, 3, 'a', 'b', 'c', 0x00, 0x50});
const Bytes kReplyIPv6 = bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB});

TEST(SOCKS5FramerTest, EveryReplyForEverySplit) {
  const Bytes greetNone = bytes({5, 1, 0}), greetAuth = bytes({5, 2, 0, 2});
  const Bytes auth = authRequest("al", "pw"), request = connectRequest("t.example", 443);
  const Bytes noAuthOk = concat({bytes({5, 0}), kReplyIPv4}), authOk = concat({bytes({5, 2, 1, 0}), kReplyIPv4});
  // Fields longer than 255 bytes are cut to 255, even inside a UTF-8 character.
  const std::string long300(300, 'x'), cutInside = std::string(254, 'a') + "\xC3\xA9";
  const Bytes longUser = concat({bytes({1, 0xFF}), bytes(long300.substr(0, 255)), bytes({1, 'p'})});
  const Bytes longPassword = concat({bytes({1, 1, 'u', 0xFF}), bytes(cutInside.substr(0, 255))});
  const Bytes longHost = concat({bytes({5, 1, 0, 3, 0xFF}), bytes(long300.substr(0, 255)), bytes({0, 1})});
  const struct {
    std::optional<std::string> user, password;
    Bytes handshake;  // the proxy's bytes until the framer ends the handshake
    int code;
    std::vector<Bytes> writes;  // the framer's
    std::string host = "t.example";
    uint16_t port = 443;
  } cases[] = {
      // Tunnels, with each kind of bound address.
      {{}, {}, noAuthOk, 0, {greetNone, request}},
      {"al", "pw", authOk, 0, {greetAuth, auth, request}},
      {"al", "pw", concat({bytes({5, 2, 5, 0}), kReplyDomain}), 0, {greetAuth, auth, request}},  // auth VER not read
      {"al", "pw", concat({bytes({5, 0}), kReplyDomain}), 0, {greetAuth, request}},
      {"al", {}, concat({bytes({5, 0}), kReplyIPv6}), 0, {greetAuth, request}},
      {{}, "pw", noAuthOk, 0, {greetAuth, request}},
      // The fields of the username/password request.
      {"alice", "s3", authOk, 0, {greetAuth, authRequest("alice", "s3"), request}},
      {"", "", authOk, 0, {greetAuth, bytes({1, 0, 0}), request}},  // empty credentials are present
      {long300, "p", authOk, 0, {greetAuth, longUser, request}},
      {"u", cutInside, authOk, 0, {greetAuth, longPassword, request}},
      // The fields of the CONNECT request: the host always as a name.
      {{}, {}, noAuthOk, 0, {greetNone, connectRequest("example.io", 443)}, "example.io"},
      {{}, {}, noAuthOk, 0, {greetNone, connectRequest("192.0.2.1", 80)}, "192.0.2.1", 80},
      {{}, {}, noAuthOk, 0, {greetNone, connectRequest("2001:db8::1", 65535)}, "2001:db8::1", 65535},
      {{}, {}, noAuthOk, 0, {greetNone, longHost}, long300, 1},
      {{}, {}, noAuthOk, 0, {greetNone, bytes({5, 1, 0, 3, 0, 0x1F, 0x90})}, "", 8080},
      // Refusals and malformed replies.
      {{}, {}, bytes({5, 0xFF}), EPROTONOSUPPORT, {greetNone}},  // no acceptable methods
      {{}, {}, bytes({5, 1}), EPROTONOSUPPORT, {greetNone}},     // GSSAPI
      {{}, {}, bytes({4, 0}), EBADMSG, {greetNone}},
      {"al", {}, bytes({5, 2}), kEAUTH, {greetAuth}},  // user/pass selected without both
      {{}, "pw", bytes({5, 2}), kEAUTH, {greetAuth}},
      {"al", "pw", bytes({5, 2, 1, 1}), kEAUTH, {greetAuth, auth}},
      {"al", "pw", bytes({5, 2, 1, 0xFF}), kEAUTH, {greetAuth, auth}},
      {{}, {}, bytes({5, 0, 5, 5, 0, 1}), ECONNREFUSED, {greetNone, request}},
      {{}, {}, bytes({5, 0, 5, 1, 0, 1}), ECONNREFUSED, {greetNone, request}},
      {{}, {}, bytes({5, 0, 4, 0, 0, 1}), EBADMSG, {greetNone, request}},
      {{}, {}, bytes({5, 0, 4, 5, 0, 1}), EBADMSG, {greetNone, request}},  // the version before the code
      {{}, {}, bytes({5, 0, 5, 0, 0, 2}), EBADMSG, {greetNone, request}},  // address type 2
      {"al", "pw", bytes({5, 2, 1, 0, 5, 0, 0, 0}), EBADMSG, {greetAuth, auth, request}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.handshake));
    // After a failure, a reply a failed framer must leave alone.
    const Bytes after = c.code == 0 ? bytes("x") : concat({kReplyIPv4, bytes("x")});
    expectEverySplit(socks5(), makeSetup(c.user, c.password, c.host, c.port), c.handshake, after, c.writes, c.code);
  }
}

std::string httpRequest(const std::string& authority, const std::string& basic = "") {
  return "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n" +
         (basic.empty() ? "" : "Proxy-Authorization: Basic " + basic + "\r\n") + "Proxy-Connection: keep-alive\r\n\r\n";
}

// The request goes out in one write at start; the stream becomes ready
// only with the proxy's answer.
TEST(HTTPConnectFramerTest, RequestOnTheWireInOneWrite) {
  const struct {
    std::optional<std::string> user, password;
    std::string host;
    uint16_t port;
    std::string request;
  } cases[] = {
      {{}, {}, "192.0.2.10", 25, httpRequest("192.0.2.10:25")},
      {"alice", "s3cret", "example.org", 80, httpRequest("example.org:80", "YWxpY2U6czNjcmV0")},
      {{}, {}, "2001:db8::1", 443, httpRequest("[2001:db8::1]:443")},
      {{}, {}, "[2001:db8::1]", 443, httpRequest("[[2001:db8::1]]:443")},  // brackets get a second pair
      {{}, {}, "", 8, httpRequest(":8")},
      {"\xD1\x8E", "p:w", "h", 1, httpRequest("h:1", "0Y46cDp3")},  // UTF-8
      {"", "", "h", 1, httpRequest("h:1", "Og==")},                 // a single colon
      {"alice", {}, "h", 1, httpRequest("h:1")},                    // only both make a header
      {{}, "pw", "h", 1, httpRequest("h:1")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    const auto setup = makeSetup(c.user, c.password, c.host, c.port);
    expectEverySplit(http(), setup, bytes("HTTP/1.1 200 OK\r\n\r\n"), bytes("x"), {bytes(c.request)}, 0);
  }
}

TEST(HTTPConnectFramerTest, EveryResponseForEverySplit) {
  const struct {
    std::string head;  // without the CR LF CR LF that ends it
    int code;
    std::string after = "tunnel bytes";
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\nProxy-agent: t/1", 0},
      {"HTTP/1.0 200", 0, "ab"},
      {"HTTP/1.1 204 No Content", 0},
      {"HTTP/1.1 299 x", 0},
      {"HTTP/1.1  200 two spaces", 0},
      {"   HTTP/1.1 200", 0},
      {"HTTP/1.1 +200 signed", 0},
      {"HTTP/1.1 0200 leading zero", 0},
      {"HTTP/1.1 200 OK\r\nProxy-agent: x\r\nX: 407", 0},
      {"HTTP/1.1 \xCC\x81x 200", 0},  // a space with a combining mark separates nothing
      {"HTTP/1.1 407 Proxy Authentication Required", kEAUTH, "<html>\r\n\r\nmore"},
      {"HTTP/1.0 +407", kEAUTH},
      {"HTTP/1.1 403 Forbidden", ECONNREFUSED},
      {"HTTP/1.0 502 Bad Gateway", ECONNREFUSED, "<html>body</html>\r\n\r\n"},
      {"HTTP/1.1 2000", ECONNREFUSED},
      {"HTTP/1.1 199", ECONNREFUSED},
      {"HTTP/1.1 300", ECONNREFUSED},
      {"HTTP/1.1 -200", ECONNREFUSED},
      {"HTTP/1.1 9223372036854775807", ECONNREFUSED},
      {"HTTP/1.1 9223372036854775808", EBADMSG},  // beyond 64 bits
      {"HTTP/1.1 OK", EBADMSG},
      {"HTTP/1.1", EBADMSG},
      {"HTTP/1.1 ", EBADMSG},
      {"HTTP/1.1 2OO", EBADMSG},
      {"HTTP/1.1 +", EBADMSG},
      {"HTTP/1.1 +-200", EBADMSG},
      {"HTTP/1.1 \xFF 200", EBADMSG},
      {"HTTP/1.1\t200", EBADMSG},  // only spaces separate
      {"HTTP/1.1 200\t", EBADMSG},
      {"", EBADMSG, "HTTP/1.1 200 OK\r\n\r\n"},  // the status line is empty
      {"\r\nHTTP/1.1 200", EBADMSG},
      {"SSH-2.0", EBADMSG},
  };
  const auto setup = makeSetup("u", "p", "t.example", 443);
  const std::vector<Bytes> request{bytes(HTTPConnectFramer::connectRequest(setup))};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    expectEverySplit(http(), setup, bytes(c.head + "\r\n\r\n"), bytes(c.after), request, c.code);
  }
  // Only CR LF CR LF ends a head.
  for (const std::string partial :
       {"HTTP/1.1 200 OK\n\n", "HTTP/1.1 200 OK\r\n\n", "HTTP/1.1 200 OK\r\r\n", "HTTP/1.1 200 OK\r\n\r"}) {
    expectEverySplit(http(), setup, {}, bytes(partial), request, kPending);
  }
}

TEST(HTTPConnectFramerTest, AHeadThatDoesNotEndWithin64KiBIsRefused) {
  const auto setup = makeSetup({}, {});
  // Outcome fields: 1 the failure, 3 the bytes delivered, 5 the bytes consumed.
  const std::string line = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(65536, 'f');
  EXPECT_FALSE(std::get<1>(runSplit(http(), setup, bytes(line.substr(0, 65535)), {})))
      << "not yet: 65535 bytes may still end in a blank line";
  const Outcome refused = runSplit(http(), setup, bytes(line), {65535});
  EXPECT_EQ(std::get<1>(refused), EBADMSG);
  EXPECT_EQ(std::get<5>(refused), 0u);
  // A head that ends exactly at the limit is still read.
  const std::string edge = "HTTP/1.1 200 OK\r\nX: " + std::string(65536 - 24, 'f') + "\r\n\r\ntail";
  EXPECT_EQ(std::get<3>(runSplit(http(), setup, bytes(edge), {})), bytes("tail"));
}

// Input after the handshake goes up unchanged, at most 64 KiB at a time;
// without a setup the framer fails with EINVAL at start and leaves input
// alone. (The application's output passes through in the stream's tests
// against real proxies, interop_test.)
TEST(ProxyFramersTest, PassThroughAndNoSetupFailsWithEinval) {
  const struct {
    const stream::FramerDefinition& definition;
    Bytes answer;  // the proxy's, to a setup without credentials
  } framers[] = {{socks5(), concat({bytes({5, 0}), kReplyIPv4})}, {http(), bytes("HTTP/1.1 200 OK\r\n\r\n")}};
  const Bytes big = randomBytes(200000);
  for (const auto& f : framers) {
    SCOPED_TRACE(f.definition.label);
    const Outcome passed = runSplit(f.definition, makeSetup({}, {}), concat({f.answer, big}), {f.answer.size()});
    EXPECT_TRUE(std::get<0>(passed) && std::get<7>(passed)) << "not ready, or a broken promise";
    EXPECT_EQ(std::get<3>(passed), big);
    expectEverySplit(f.definition, std::nullopt, {}, concat({f.answer, bytes("data")}), {}, EINVAL);
  }
}

// Many openers at once: each framer takes its own opener's setup, never
// another's, and the bytes that came with the proxy's reply reach the
// application. The gate of the hand-off is contended here.
TEST(OpenTunnelTest, ConcurrentOpenersNeverSwapSetups) {
  using Clock = std::chrono::steady_clock;
  std::atomic<int> swapped{0};
  std::vector<std::jthread> openers;
  for (int i = 0; i < 16; ++i) {
    openers.emplace_back([&, i] {
      // Names of one length: another's request reads as a mismatch, not a short read.
      const std::string host = "target" + std::to_string(10 + i) + ".test";
      int fds[2] = {-1, -1};
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
      UniqueFd ours(fds[0]), theirs(fds[1]);
      // The proxy's end: no authentication, then this opener's target.
      std::jthread proxy([&] {
        const Bytes expected = connectRequest(host, 443);
        Bytes request;
        if (!readExactly(theirs.get(), 3) || !writeAll(theirs.get(), bytes({5, 0})) ||
            !readExactly(theirs.get(), expected.size(), &request)) {
          return;
        }
        if (request != expected) ++swapped;
        writeAll(theirs.get(), concat({kReplyIPv4, bytes("hi")}));
      });
      // Declared after the peer: when a check fails, the stream closes
      // first, which ends a peer still waiting for it.
      const auto tunnel = openTunnel(std::move(ours), ProxyConfig{"proxy.test", 1080, {}, {}, ProxyKind::socks5},
                                     ProxyTarget{host, 443}, Clock::now() + std::chrono::seconds(10));
      ASSERT_TRUE(tunnel) << tunnel.error().message;
      uint8_t buf[16];
      ASSERT_EQ((*tunnel)->read(buf).value(), 2u);
      EXPECT_EQ(Bytes(buf, buf + 2), bytes("hi"));
    });
  }
  openers.clear();
  EXPECT_EQ(swapped, 0);
  EXPECT_TRUE(!ProxyConnectCoordinator::shared().inFlight() && !ProxyConnectCoordinator::handOffState().hasSetup);
}

}  // namespace
}  // namespace helper
