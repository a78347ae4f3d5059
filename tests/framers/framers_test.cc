// The SOCKS5 and HTTP CONNECT framers on the in-memory driver.
#include <gtest/gtest.h>

#include "helper/framers/proxy_framer.h"
#include "helper/framers/http_connect_framer.h"
#include "helper/framers/socks5_framer.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;

const stream::FramerDefinition& socks5() { return SOCKS5Framer::definition(); }
const stream::FramerDefinition& http() { return HTTPConnectFramer::definition(); }

Bytes connectRequest(std::string_view host, uint16_t port) {
  return concat({bytes({5, 1, 0, 3, static_cast<int>(host.size())}), bytes(host), bytes({port >> 8, port & 0xFF})});
}

const Bytes kReplyIPv4 = bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x1F, 0x90});
const Bytes kReplyDomain = bytes({5, 0, 0, 3, 3, 'a', 'b', 'c', 0x00, 0x50});
const Bytes kReplyIPv6 = bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB});

// Every way of cutting the proxy's bytes gives the same writes and delivered
// bytes, consumes nothing beyond the handshake before it ends, and delivers
// the tunnel bytes that follow it at once.
TEST(SOCKS5FramerTest, ValidHandshakesGiveOneOutcomeForEverySplit) {
  const Bytes greetNone = bytes({5, 1, 0}), greetAuth = bytes({5, 2, 0, 2});
  const Bytes auth = bytes({1, 2, 'a', 'l', 2, 'p', 'w'}), request = connectRequest("t.example", 443);
  // The proxy's handshake until the tunnel stands, the framer's writes, tunnel bytes.
  const struct { std::optional<std::string> user, password; Bytes handshake;
                 std::vector<Bytes> writes; Bytes tunnel; } cases[] = {
      {{}, {}, concat({bytes({5, 0}), kReplyIPv4}), {greetNone, request}, bytes("hi!")},
      {"al", "pw", concat({bytes({5, 2, 1, 0}), kReplyIPv4}), {greetAuth, auth, request}, bytes("x")},
      {"al", "pw", concat({bytes({5, 2, 5, 0}), kReplyDomain}), {greetAuth, auth, request}, {}},  // auth VER not read
      {"al", "pw", concat({bytes({5, 0}), kReplyDomain}), {greetAuth, request}, bytes("tun")},
      {"al", {}, concat({bytes({5, 0}), kReplyIPv6}), {greetAuth, request}, bytes("tunnel")},
      {{}, "pw", concat({bytes({5, 0}), kReplyIPv4}), {greetAuth, request}, bytes("t")},
  };
  for (const auto& c : cases) {
    const Bytes input = concat({c.handshake, c.tunnel});
    const Outcome expected{true, {}, c.writes, c.tunnel, c.handshake.size(), input.size(), 0};
    for (const auto& cuts : splitsOf(input.size())) {
      ASSERT_EQ(runSplit(socks5(), makeSetup(c.user, c.password, "t.example", 443), input, cuts), expected)
          << ::testing::PrintToString(cuts);
    }
  }
}

// Each malformed or refusing reply fails with its code for every split,
// consumes exactly the messages up to the failure and leaves later input.
TEST(SOCKS5FramerTest, FailureCodesForEveryReply) {
  const struct { const char* name; std::optional<std::string> user, password;
                 Bytes proxyBytes; int code; size_t writes; } cases[] = {
      {"no acceptable methods", {}, {}, bytes({5, 0xFF}), EPROTONOSUPPORT, 1},
      {"GSSAPI selected", {}, {}, bytes({5, 1}), EPROTONOSUPPORT, 1},
      {"method reply version 4", {}, {}, bytes({4, 0}), EBADMSG, 1},
      {"user/pass selected, username only", "al", {}, bytes({5, 2}), kEAUTH, 1},
      {"user/pass selected, password only", {}, "pw", bytes({5, 2}), kEAUTH, 1},
      {"credentials refused", "al", "pw", bytes({5, 2, 1, 1}), kEAUTH, 2},
      {"credentials refused, 0xFF", "al", "pw", bytes({5, 2, 1, 0xFF}), kEAUTH, 2},
      {"connect refused", {}, {}, bytes({5, 0, 5, 5, 0, 1}), ECONNREFUSED, 2},
      {"connect: general failure", {}, {}, bytes({5, 0, 5, 1, 0, 1}), ECONNREFUSED, 2},
      {"connect reply version 4", {}, {}, bytes({5, 0, 4, 0, 0, 1}), EBADMSG, 2},
      {"version checked before the code", {}, {}, bytes({5, 0, 4, 5, 0, 1}), EBADMSG, 2},
      {"address type 2", {}, {}, bytes({5, 0, 5, 0, 0, 2}), EBADMSG, 2},
      {"address type 0 after auth", "al", "pw", bytes({5, 2, 1, 0, 5, 0, 0, 0}), EBADMSG, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes input = concat({c.proxyBytes, kReplyIPv4, bytes("x")});
    const size_t n = c.proxyBytes.size();
    for (const auto& cuts : splitsOf(input.size(), 100)) {
      const Outcome got = runSplit(socks5(), makeSetup(c.user, c.password, "t", 80), input, cuts);
      ASSERT_EQ(got.failure, c.code) << got;
      ASSERT_TRUE(!got.ready && got.delivered.empty() && got.wellFormed && got.writes.size() == c.writes) << got;
      ASSERT_EQ(std::tuple(got.consumedAtEnd, got.consumed, got.buffered), std::tuple(n, n, input.size() - n)) << got;
    }
  }
}

// The second message: the username/password request after the proxy
// selects 0x02, or the CONNECT request after 0x00.
TEST(SOCKS5FramerTest, FieldsOnTheWire) {
  const std::string long300(300, 'x'), cutInside = std::string(254, 'a') + "\xC3\xA9";
  const Bytes first255 = bytes(long300.substr(0, 255));
  const struct { std::optional<std::string> user, password; std::string host; uint16_t port; Bytes second; } cases[] = {
      {"alice", "s3", "h", 1, concat({bytes({1, 5}), bytes("alice"), bytes({2}), bytes("s3")})},
      {"", "", "h", 1, bytes({1, 0, 0})},  // empty credentials are present
      {long300, "p", "h", 1, concat({bytes({1, 0xFF}), first255, bytes({1, 'p'})})},
      {"u", cutInside, "h", 1, concat({bytes({1, 1, 'u', 0xFF}), bytes(cutInside.substr(0, 255))})},
      {{}, {}, "example.io", 443, concat({bytes({5, 1, 0, 3, 0x0A}), bytes("example.io"), bytes({0x01, 0xBB})})},
      {{}, {}, "192.0.2.1", 80, concat({bytes({5, 1, 0, 3, 0x09}), bytes("192.0.2.1"), bytes({0, 80})})},
      {{}, {}, "2001:db8::1", 65535, connectRequest("2001:db8::1", 65535)},
      {{}, {}, long300, 1, concat({bytes({5, 1, 0, 3, 0xFF}), first255, bytes({0, 1})})},
      {{}, {}, "", 8080, bytes({5, 1, 0, 3, 0, 0x1F, 0x90})},
  };
  for (const auto& c : cases) {
    auto driver = makeDriver(socks5(), makeSetup(c.user, c.password, c.host, c.port));
    driver->start();
    driver->receive(bytes({5, c.user ? 2 : 0}));
    ASSERT_EQ(driver->writes.size(), 2u);
    EXPECT_EQ(driver->writes[1], c.second) << c.host.substr(0, 20);
  }
}

// Nothing of a reply is consumed before its part is complete; the length
// byte of a domain address is not taken alone.
TEST(SOCKS5FramerTest, ReplyByteByByteConsumesNothingUntilEachPartIsCompleteThenPassesThrough) {
  auto driver = makeDriver(socks5(), makeSetup({}, {}));
  driver->start();
  const Bytes reply = bytes({5, 0, 5, 0, 0, 3, 7, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0x01, 0xBB});
  const size_t expected[] = {0, 2, 2, 2, 2, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 16};
  for (size_t i = 0; i < reply.size(); ++i) {
    driver->receive(ByteView(&reply[i], 1));
    EXPECT_EQ(driver->consumed, expected[i]) << "after byte " << i;
  }
  // Passing through, at most 64 KiB at a time.
  const Bytes big = randomBytes(200000);
  driver->receive(big);
  EXPECT_EQ(driver->delivered, big);
  EXPECT_TRUE(driver->ready && driver->wellFormed);
}

std::string httpRequest(const std::string& authority, const std::string& basic = "") {
  return "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n" +
         (basic.empty() ? "" : "Proxy-Authorization: Basic " + basic + "\r\n") +
         "Proxy-Connection: keep-alive\r\n\r\n";
}

TEST(HTTPConnectFramerTest, RequestOnTheWireInOneWrite) {
  const struct { std::optional<std::string> user, password; std::string host; uint16_t port;
                 std::string request; } cases[] = {
      {{}, {}, "192.0.2.10", 25,
       "CONNECT 192.0.2.10:25 HTTP/1.1\r\nHost: 192.0.2.10:25\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"alice", "s3cret", "example.org", 80,
       "CONNECT example.org:80 HTTP/1.1\r\nHost: example.org:80\r\n"
       "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {{}, {}, "2001:db8::1", 443, httpRequest("[2001:db8::1]:443")},
      {{}, {}, "[2001:db8::1]", 443, httpRequest("[[2001:db8::1]]:443")},  // brackets get a second pair
      {{}, {}, "", 8, httpRequest(":8")},
      {"\xD1\x8E", "p:w", "h", 1, httpRequest("h:1", "0Y46cDp3")},  // UTF-8
      {"", "", "h", 1, httpRequest("h:1", "Og==")},                   // a single colon
      {"alice", {}, "h", 1, httpRequest("h:1")},                      // only both make a header
      {{}, "pw", "h", 1, httpRequest("h:1")},
  };
  for (const auto& c : cases) {
    auto driver = makeDriver(http(), makeSetup(c.user, c.password, c.host, c.port));
    EXPECT_EQ(driver->start(), stream::StartResult::willMarkReady);
    ASSERT_EQ(driver->writes.size(), 1u);
    EXPECT_EQ(std::string(driver->writes[0].begin(), driver->writes[0].end()), c.request);
  }
}

TEST(HTTPConnectFramerTest, StatusLines) {
  const std::optional<int> ready;  // absent: becomes ready
  const struct { std::string head; std::optional<int> failure; } cases[] = {
      {"HTTP/1.1 200 Connection established", ready}, {"HTTP/1.0 200", ready}, {"HTTP/1.1 204 No Content", ready},
      {"HTTP/1.1 299 x", ready}, {"HTTP/1.1  200 two spaces", ready}, {"   HTTP/1.1 200", ready},
      {"HTTP/1.1 +200 signed", ready}, {"HTTP/1.1 0200 leading zero", ready},
      {"HTTP/1.1 200 OK\r\nProxy-agent: x\r\nX: 407", ready},
      {"HTTP/1.1 \xCC\x81x 200", ready},  // a space with a combining mark separates nothing
      {"HTTP/1.1 407 Proxy Authentication Required", kEAUTH}, {"HTTP/1.0 +407", kEAUTH},
      {"HTTP/1.1 403 Forbidden", ECONNREFUSED}, {"HTTP/1.1 502 Bad Gateway", ECONNREFUSED},
      {"HTTP/1.1 2000", ECONNREFUSED}, {"HTTP/1.1 199", ECONNREFUSED}, {"HTTP/1.1 300", ECONNREFUSED},
      {"HTTP/1.1 -200", ECONNREFUSED}, {"HTTP/1.1 9223372036854775807", ECONNREFUSED},
      {"HTTP/1.1 9223372036854775808", EBADMSG},  // beyond 64 bits
      {"HTTP/1.1 OK", EBADMSG}, {"HTTP/1.1", EBADMSG}, {"HTTP/1.1 ", EBADMSG}, {"HTTP/1.1 2OO", EBADMSG},
      {"HTTP/1.1 +", EBADMSG}, {"HTTP/1.1 +-200", EBADMSG}, {"HTTP/1.1 \xFF 200", EBADMSG},
      {"HTTP/1.1\t200", EBADMSG}, {"HTTP/1.1 200\t", EBADMSG},  // only spaces separate
      {"\r\nHTTP/1.1 200", EBADMSG},  // the status line is empty
  };
  for (const auto& c : cases) {
    auto driver = makeDriver(http(), makeSetup({}, {}));
    driver->start();
    driver->receive(bytes(c.head + "\r\n\r\nafter"));
    EXPECT_EQ(driver->failure, c.failure) << ::testing::PrintToString(c.head);
    EXPECT_EQ(driver->consumedAtEnd, c.head.size() + 4);
    EXPECT_EQ(driver->delivered, c.failure ? Bytes() : bytes("after"));
  }
  // Only CR LF CR LF ends a head.
  for (const std::string partial : {"HTTP/1.1 200 OK\n\n", "HTTP/1.1 200 OK\r\n\n", "HTTP/1.1 200 OK\r\r\n",
                                    "HTTP/1.1 200 OK\r\n\r"}) {
    auto driver = makeDriver(http(), makeSetup({}, {}));
    driver->start();
    driver->receive(bytes(partial));
    EXPECT_FALSE(driver->ready || driver->failure || driver->consumed > 0) << partial;
  }
}

// Every way of cutting the response gives the same outcome: the head alone
// is consumed, what follows a good head is delivered at once, and what
// follows a bad one is left alone.
TEST(HTTPConnectFramerTest, EverySplitGivesTheSameOutcome) {
  const struct { std::string head, after; std::optional<int> failure; } cases[] = {
      {"HTTP/1.0 200\r\n\r\n", "ab", {}},
      {"HTTP/1.1 200 Connection established\r\nProxy-agent: t/1\r\n\r\n", "tunnel bytes", {}},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "<html>\r\n\r\nmore", kEAUTH},
      {"HTTP/1.0 502\r\n\r\n", "<html>body</html>\r\n\r\n", ECONNREFUSED},
      {"\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", EBADMSG},
      {"SSH-2.0\r\n\r\n", "more", EBADMSG},
  };
  const auto setup = makeSetup("u", "p", "t.example", 443);
  for (const auto& c : cases) {
    const Bytes input = bytes(c.head + c.after);
    const size_t head = c.head.size();
    const Outcome expected{!c.failure, c.failure, {bytes(HTTPConnectFramer::connectRequest(setup))},
                           c.failure ? Bytes() : bytes(c.after), head, c.failure ? head : input.size(),
                           c.failure ? c.after.size() : 0};
    for (const auto& cuts : splitsOf(input.size(), 100)) {
      ASSERT_EQ(runSplit(http(), setup, input, cuts), expected) << ::testing::PrintToString(cuts);
    }
  }
}

TEST(HTTPConnectFramerTest, AHeadThatDoesNotEndWithin64KiBIsRefused) {
  auto driver = makeDriver(http(), makeSetup({}, {}));
  driver->start();
  const std::string line = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(65536, 'f');
  driver->receive(bytes(line.substr(0, 65535)));
  EXPECT_FALSE(driver->failure) << "not yet: 65535 bytes may still end in a blank line";
  driver->receive(bytes(line.substr(65535)));
  EXPECT_EQ(driver->failure, EBADMSG);
  EXPECT_EQ(driver->consumed, 0u);
  // A head that ends exactly at the limit is still read.
  auto edge = makeDriver(http(), makeSetup({}, {}));
  edge->start();
  edge->receive(bytes("HTTP/1.1 200 OK\r\nX: " + std::string(65536 - 24, 'f') + "\r\n\r\ntail"));
  EXPECT_EQ(edge->delivered, bytes("tail"));
}

// Both framers, with the proxy's whole answer to a setup without credentials.
struct Framer {
  const stream::FramerDefinition& definition;
  Bytes answer;
};
const Framer kFramers[] = {{socks5(), concat({bytes({5, 0}), kReplyIPv4})}, {http(), bytes("HTTP/1.1 200 OK\r\n\r\n")}};

// The application's output goes out unchanged whatever the state.
TEST(ProxyFramersTest, OutputPassesThroughInEveryStateAndNoSetupFailsWithEinval) {
  for (const auto& f : kFramers) {
    SCOPED_TRACE(f.definition.label);
    auto driver = makeDriver(f.definition, makeSetup({}, {}));
    driver->start();
    driver->send(bytes("early"));
    driver->receive(f.answer);
    driver->send(bytes("late"));
    ASSERT_TRUE(driver->ready);
    EXPECT_EQ(driver->writes[1], bytes("early"));
    EXPECT_EQ(driver->writes.back(), bytes("late"));
    EXPECT_TRUE(!driver->failure && driver->wellFormed);
    // Without a setup: EINVAL at start, and input is left alone.
    auto failed = makeDriver(f.definition, std::nullopt);
    EXPECT_EQ(failed->start(), stream::StartResult::ready);
    failed->receive(concat({f.answer, bytes("data")}));
    failed->send(bytes("after failure"));
    EXPECT_TRUE(failed->failure == EINVAL && failed->wellFormed);
    EXPECT_TRUE(failed->delivered.empty() && failed->consumed == 0);
    EXPECT_EQ(failed->writes, std::vector<Bytes>{bytes("after failure")});
  }
}

}  // namespace
}  // namespace helper
