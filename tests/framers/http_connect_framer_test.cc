#include "helper/framers/http_connect_framer.h"

#include <gtest/gtest.h>

#include "helper/framers/framer_errors.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;

const stream::FramerDefinition& http() { return HTTPConnectFramer::definition(); }

std::string requestFor(std::optional<std::string> user, std::optional<std::string> password,
                       std::string host, uint16_t port) {
  auto driver = makeDriver(http(), makeSetup(user, password, host, port, ProxyKind::http));
  EXPECT_EQ(driver->start(), stream::StartResult::willMarkReady);
  EXPECT_EQ(driver->writes().size(), 1u);  // one write
  return std::string(driver->written().begin(), driver->written().end());
}

TEST(HTTPConnectFramerTest, RequestOnTheWire) {
  const struct {
    const char* name;
    std::optional<std::string> user, password;
    std::string host;
    uint16_t port;
    std::string request;
  } cases[] = {
      {"IPv4 target", {}, {}, "192.0.2.10", 25,
       "CONNECT 192.0.2.10:25 HTTP/1.1\r\nHost: 192.0.2.10:25\r\n"
       "Proxy-Connection: keep-alive\r\n\r\n"},
      {"IPv6 target gets brackets", {}, {}, "2001:db8::1", 443,
       "CONNECT [2001:db8::1]:443 HTTP/1.1\r\nHost: [2001:db8::1]:443\r\n"
       "Proxy-Connection: keep-alive\r\n\r\n"},
      {"bracketed host gets a second pair", {}, {}, "[2001:db8::1]", 443,
       "CONNECT [[2001:db8::1]]:443 HTTP/1.1\r\nHost: [[2001:db8::1]]:443\r\n"
       "Proxy-Connection: keep-alive\r\n\r\n"},
      {"one-digit port, empty host", {}, {}, "", 8,
       "CONNECT :8 HTTP/1.1\r\nHost: :8\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"credentials", "alice", "s3cret", "example.org", 80,
       "CONNECT example.org:80 HTTP/1.1\r\nHost: example.org:80\r\n"
       "Proxy-Authorization: Basic YWxpY2U6czNjcmV0\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"UTF-8 credentials", "\xD1\x8E", "p:w", "h", 1,
       "CONNECT h:1 HTTP/1.1\r\nHost: h:1\r\n"
       "Proxy-Authorization: Basic 0Y46cDp3\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"empty username and password: a single colon", "", "", "h", 1,
       "CONNECT h:1 HTTP/1.1\r\nHost: h:1\r\n"
       "Proxy-Authorization: Basic Og==\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"username only: no authorization", "alice", {}, "h", 1,
       "CONNECT h:1 HTTP/1.1\r\nHost: h:1\r\nProxy-Connection: keep-alive\r\n\r\n"},
      {"password only: no authorization", {}, "pw", "h", 1,
       "CONNECT h:1 HTTP/1.1\r\nHost: h:1\r\nProxy-Connection: keep-alive\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(requestFor(c.user, c.password, c.host, c.port), c.request) << c.name;
  }
}

TEST(HTTPConnectFramerTest, StatusLines) {
  const std::optional<int> ready;  // absent: becomes ready
  const struct {
    std::string head;
    std::optional<int> failure;
  } cases[] = {
      {"HTTP/1.1 200 Connection established", ready},
      {"HTTP/1.0 200", ready},
      {"HTTP/1.1 204 No Content", ready},
      {"HTTP/1.1 299 x", ready},
      {"HTTP/1.1  200 two spaces", ready},
      {"   HTTP/1.1 200", ready},
      {"HTTP/1.1 +200 signed", ready},
      {"HTTP/1.1 0200 leading zero", ready},
      {"HTTP/1.1 200 OK\r\nProxy-agent: x\r\nX: 407", ready},
      {"HTTP/1.1 407 Proxy Authentication Required", kEAUTH},
      {"HTTP/1.0 +407", kEAUTH},
      {"HTTP/1.1 403 Forbidden", ECONNREFUSED},
      {"HTTP/1.1 502 Bad Gateway", ECONNREFUSED},
      {"HTTP/1.1 2000", ECONNREFUSED},
      {"HTTP/1.1 199", ECONNREFUSED},
      {"HTTP/1.1 300", ECONNREFUSED},
      {"HTTP/1.1 -200", ECONNREFUSED},
      {"HTTP/1.1 9223372036854775807", ECONNREFUSED},
      {"HTTP/1.1 9223372036854775808", EBADMSG},  // beyond 64 bits
      {"HTTP/1.1 OK", EBADMSG},
      {"HTTP/1.1", EBADMSG},
      {"HTTP/1.1 ", EBADMSG},
      {"", EBADMSG},
      {"HTTP/1.1 2OO", EBADMSG},
      {"HTTP/1.1 +", EBADMSG},
      {"HTTP/1.1 +-200", EBADMSG},
      {"HTTP/1.1\t200", EBADMSG},  // only spaces separate
      {"HTTP/1.1 200\t", EBADMSG},
      {"\r\nHTTP/1.1 200", EBADMSG},  // the status line is empty
      {"HTTP/1.1 \xFF 200", EBADMSG},
      // A space carrying a combining mark is one character, no separator:
      // the second field is then "200".
      {"HTTP/1.1 \xCC\x81x 200", ready},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.head));
    auto driver = makeDriver(http(), makeSetup({}, {}, "t", 1, ProxyKind::http));
    driver->start();
    const Bytes head = bytes(c.head + "\r\n\r\n");
    driver->receive(concat({head, bytes("after")}));
    EXPECT_EQ(driver->failure(), c.failure);
    EXPECT_EQ(driver->isReady(), !c.failure);
    if (c.failure) {
      EXPECT_EQ(driver->consumed(), head.size());
      EXPECT_TRUE(driver->delivered().empty());
    } else {
      EXPECT_EQ(driver->consumedAtReady(), head.size());
      EXPECT_EQ(driver->delivered(), bytes("after"));
    }
  }
}

TEST(HTTPConnectFramerTest, OnlyCrLfCrLfEndsAHead) {
  for (const std::string partial : {"HTTP/1.1 200 OK\n\n", "HTTP/1.1 200 OK\r\n\n", "HTTP/1.1 200 OK\r\r\n",
                                    "HTTP/1.1 200 OK\r\n\r"}) {
    auto driver = makeDriver(http(), makeSetup({}, {}, "t", 1, ProxyKind::http));
    driver->start();
    driver->receive(bytes(partial));
    EXPECT_FALSE(driver->isReady()) << partial;
    EXPECT_FALSE(driver->failure()) << partial;
    EXPECT_EQ(driver->consumed(), 0u) << partial;
  }
}

TEST(HTTPConnectFramerTest, EveryValidSplitGivesTheSameOutcome) {
  const struct {
    std::string head;
    std::string tunnel;
  } cases[] = {
      {"HTTP/1.0 200\r\n\r\n", "ab"},
      {"HTTP/1.1 200 Connection established\r\nProxy-agent: t/1\r\n\r\n", "tunnel bytes"},
      {"HTTP/1.1 200 OK\r\n\r\n", ""},
  };
  const auto setup = makeSetup("u", "p", "t.example", 443, ProxyKind::http);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    const Bytes input = bytes(c.head + c.tunnel);
    Outcome expected;
    expected.ready = true;
    expected.writes = {bytes(HTTPConnectFramer::connectRequest(setup))};
    expected.delivered = bytes(c.tunnel);
    expected.consumedAtEnd = c.head.size();
    expected.consumed = input.size();
    for (const auto& cuts : splitsOf(input.size())) {
      ASSERT_EQ(runSplit(http(), setup, input, cuts), expected) << ::testing::PrintToString(cuts);
    }
  }
}

TEST(HTTPConnectFramerTest, FailuresAreSplitInvariantAndLeaveLaterInputAlone) {
  const struct {
    std::string head;
    int code;
  } cases[] = {
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", kEAUTH},
      {"HTTP/1.0 502\r\n\r\n", ECONNREFUSED},
      {"\r\n\r\n", EBADMSG},
      {"SSH-2.0\r\n\r\n", EBADMSG},
  };
  const auto setup = makeSetup({}, {}, "t", 1, ProxyKind::http);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.head);
    const Bytes input = bytes(c.head + "<html>body</html>\r\n\r\nmore");
    for (const auto& cuts : splitsOf(input.size(), 100)) {
      const Outcome got = runSplit(http(), setup, input, cuts);
      ASSERT_EQ(got.failure, c.code);
      ASSERT_EQ(got.consumed, c.head.size()) << got;
      ASSERT_TRUE(got.delivered.empty());
      ASSERT_TRUE(got.handleInputAlwaysZero);
    }
  }
}

TEST(HTTPConnectFramerTest, AHeadThatDoesNotEndWithin64KiBIsRefused) {
  auto driver = makeDriver(http(), makeSetup({}, {}, "t", 1, ProxyKind::http));
  driver->start();
  const std::string line = "HTTP/1.1 200 OK\r\nX-Filler: " + std::string(65536, 'f');
  driver->receive(bytes(line.substr(0, 65535)));
  EXPECT_FALSE(driver->failure()) << "not yet: 65535 bytes may still end in a blank line";
  driver->receive(bytes(line.substr(65535)));
  EXPECT_EQ(driver->failure(), EBADMSG);
  EXPECT_EQ(driver->consumed(), 0u);

  // A head that ends exactly at the limit is still read.
  auto edge = makeDriver(http(), makeSetup({}, {}, "t", 1, ProxyKind::http));
  edge->start();
  std::string head = "HTTP/1.1 200 OK\r\nX: ";
  head += std::string(65536 - head.size() - 4, 'f') + "\r\n\r\n";
  ASSERT_EQ(head.size(), 65536u);
  edge->receive(bytes(head + "tail"));
  EXPECT_TRUE(edge->isReady());
  EXPECT_EQ(edge->delivered(), bytes("tail"));
}

TEST(HTTPConnectFramerTest, WithoutSetupFailsAtStartWithEinval) {
  auto driver = makeDriver(http(), std::nullopt);
  EXPECT_EQ(driver->start(), stream::StartResult::ready);
  EXPECT_EQ(driver->failure(), EINVAL);
  EXPECT_TRUE(driver->written().empty());
  driver->receive(bytes("HTTP/1.1 200 OK\r\n\r\ndata"));
  EXPECT_EQ(driver->consumed(), 0u);
  EXPECT_TRUE(driver->delivered().empty());
}

TEST(HTTPConnectFramerTest, OutputPassesThroughAndDeliveriesCarryTheDefinition) {
  auto driver = makeDriver(http(), makeSetup({}, {}, "t", 1, ProxyKind::http));
  driver->start();
  driver->send(bytes("early"));
  driver->receive(bytes("HTTP/1.1 200 OK\r\n\r\nx"));
  driver->send(bytes("late"));
  ASSERT_EQ(driver->writes().size(), 3u);
  EXPECT_EQ(driver->writes()[1], bytes("early"));
  EXPECT_EQ(driver->writes()[2], bytes("late"));
  ASSERT_EQ(driver->deliveries().size(), 1u);
  EXPECT_EQ(driver->deliveries()[0].definition, &http());
}

}  // namespace
}  // namespace helper
