#include "helper/framers/socks5_framer.h"

#include <gtest/gtest.h>

#include "helper/framers/framer_errors.h"
#include "tests/framers/split_harness.h"

namespace helper {
namespace {

using namespace helper::test;

const stream::FramerDefinition& socks5() { return SOCKS5Framer::definition(); }

Bytes connectRequest(std::string_view host, uint16_t port) {
  Bytes out = bytes({0x05, 0x01, 0x00, 0x03, static_cast<int>(host.size())});
  out.insert(out.end(), host.begin(), host.end());
  out.push_back(static_cast<uint8_t>(port >> 8));
  out.push_back(static_cast<uint8_t>(port & 0xFF));
  return out;
}

const Bytes kReplyIPv4 = bytes({0x05, 0x00, 0x00, 0x01, 10, 0, 0, 1, 0x1F, 0x90});
const Bytes kReplyDomain = bytes({0x05, 0x00, 0x00, 0x03, 3, 'a', 'b', 'c', 0x00, 0x50});
const Bytes kReplyIPv6 = bytes({0x05, 0x00, 0x00, 0x04, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                0,    0,    0,    0,    0,    0,    0,    1,    0x01, 0xBB});

// Every way of cutting the proxy's bytes gives the same outcome: the same
// writes, the same delivered bytes, nothing consumed beyond the handshake
// before it ended, and the tunnel bytes that followed it delivered at once.
TEST(SOCKS5FramerTest, ValidHandshakesGiveOneOutcomeForEverySplit) {
  const struct {
    const char* name;
    std::optional<std::string> user, password;
    Bytes proxyHandshake;      // what the proxy says until the tunnel stands
    std::vector<Bytes> writes;  // what the framer must say
    Bytes tunnel;
  } cases[] = {
      {"no credentials, IPv4 reply", {}, {},
       concat({bytes({0x05, 0x00}), kReplyIPv4}),
       {bytes({0x05, 0x01, 0x00}), connectRequest("t.example", 443)},
       bytes("hi!")},
      {"credentials, IPv4 reply", "al", "pw",
       concat({bytes({0x05, 0x02}), bytes({0x01, 0x00}), kReplyIPv4}),
       {bytes({0x05, 0x02, 0x00, 0x02}), bytes({0x01, 2, 'a', 'l', 2, 'p', 'w'}),
        connectRequest("t.example", 443)},
       bytes("x")},
      {"credentials offered, proxy wants none, domain reply", "al", "pw",
       concat({bytes({0x05, 0x00}), kReplyDomain}),
       {bytes({0x05, 0x02, 0x00, 0x02}), connectRequest("t.example", 443)},
       bytes("tun")},
      {"auth reply version not examined", "al", "pw",
       concat({bytes({0x05, 0x02}), bytes({0x05, 0x00}), kReplyDomain}),
       {bytes({0x05, 0x02, 0x00, 0x02}), bytes({0x01, 2, 'a', 'l', 2, 'p', 'w'}),
        connectRequest("t.example", 443)},
       {}},
      {"no credentials, IPv6 reply", {}, {},
       concat({bytes({0x05, 0x00}), kReplyIPv6}),
       {bytes({0x05, 0x01, 0x00}), connectRequest("t.example", 443)},
       bytes("tunnel")},
      {"credentials, IPv6 reply", "al", "pw",
       concat({bytes({0x05, 0x02}), bytes({0x01, 0x00}), kReplyIPv6}),
       {bytes({0x05, 0x02, 0x00, 0x02}), bytes({0x01, 2, 'a', 'l', 2, 'p', 'w'}),
        connectRequest("t.example", 443)},
       bytes("tunnel")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto setup = makeSetup(c.user, c.password, "t.example", 443);
    const Bytes input = concat({c.proxyHandshake, c.tunnel});
    Outcome expected;
    expected.ready = true;
    expected.writes = c.writes;
    expected.delivered = c.tunnel;
    expected.consumedAtEnd = c.proxyHandshake.size();
    expected.consumed = input.size();
    size_t runs = 0;
    for (const auto& cuts : splitsOf(input.size())) {
      const Outcome got = runSplit(socks5(), setup, input, cuts);
      ASSERT_EQ(got, expected) << "cuts " << ::testing::PrintToString(cuts);
      ++runs;
    }
    EXPECT_GE(runs, input.size());
  }
}

// Each malformed or refusing reply fails with its code, consumes exactly
// the messages read up to the failure, for every split, and leaves input
// that follows alone.
TEST(SOCKS5FramerTest, FailureCodesForEveryReply) {
  const Bytes authOk = bytes({0x01, 0x00});
  const struct {
    const char* name;
    std::optional<std::string> user, password;
    Bytes proxyBytes;
    int code;
    size_t consumed;
    size_t writes;
  } cases[] = {
      {"no acceptable methods", {}, {}, bytes({0x05, 0xFF}), EPROTONOSUPPORT, 2, 1},
      {"GSSAPI selected", {}, {}, bytes({0x05, 0x01}), EPROTONOSUPPORT, 2, 1},
      {"method reply version 4", {}, {}, bytes({0x04, 0x00}), EBADMSG, 2, 1},
      {"user/pass selected, no credentials", {}, {}, bytes({0x05, 0x02}), kEAUTH, 2, 1},
      {"user/pass selected, username only", "al", {}, bytes({0x05, 0x02}), kEAUTH, 2, 1},
      {"user/pass selected, password only", {}, "pw", bytes({0x05, 0x02}), kEAUTH, 2, 1},
      {"credentials refused", "al", "pw", bytes({0x05, 0x02, 0x01, 0x01}), kEAUTH, 4, 2},
      {"credentials refused, 0xFF", "al", "pw", bytes({0x05, 0x02, 0x01, 0xFF}), kEAUTH, 4, 2},
      {"connect refused", {}, {}, concat({bytes({0x05, 0x00}), bytes({0x05, 0x05, 0x00, 0x01})}),
       ECONNREFUSED, 6, 2},
      {"connect: general failure", {}, {}, concat({bytes({0x05, 0x00}), bytes({0x05, 0x01, 0x00, 0x01})}),
       ECONNREFUSED, 6, 2},
      {"connect reply version 4", {}, {}, concat({bytes({0x05, 0x00}), bytes({0x04, 0x00, 0x00, 0x01})}),
       EBADMSG, 6, 2},
      {"connect reply version and code both wrong", {}, {},
       concat({bytes({0x05, 0x00}), bytes({0x04, 0x05, 0x00, 0x01})}), EBADMSG, 6, 2},
      {"address type 2", {}, {}, concat({bytes({0x05, 0x00}), bytes({0x05, 0x00, 0x00, 0x02})}),
       EBADMSG, 6, 2},
      {"address type 0", "al", "pw",
       concat({bytes({0x05, 0x02}), authOk, bytes({0x05, 0x00, 0x00, 0x00})}), EBADMSG, 8, 3},
  };
  const Bytes trailing = bytes({0x05, 0x00, 0x00, 0x01, 1, 2, 3, 4, 0, 80, 'x'});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto setup = makeSetup(c.user, c.password, "t.example", 80);
    const Bytes input = concat({c.proxyBytes, trailing});
    for (const auto& cuts : splitsOf(input.size(), 100)) {
      const Outcome got = runSplit(socks5(), setup, input, cuts);
      ASSERT_EQ(got.failure, c.code) << got;
      ASSERT_FALSE(got.ready);
      ASSERT_EQ(got.consumedAtEnd, c.consumed);
      ASSERT_EQ(got.consumed, c.consumed) << "input after the failure was consumed";
      ASSERT_EQ(got.buffered, input.size() - c.consumed);
      ASSERT_TRUE(got.delivered.empty());
      ASSERT_EQ(got.writes.size(), c.writes) << got;
      ASSERT_TRUE(got.handleInputAlwaysZero);
    }
  }
}

TEST(SOCKS5FramerTest, WithoutSetupFailsAtStartWithEinvalAndStaysFailed) {
  auto driver = makeDriver(socks5(), std::nullopt);
  EXPECT_EQ(driver->start(), stream::StartResult::ready);
  EXPECT_EQ(driver->failure(), EINVAL);
  EXPECT_TRUE(driver->written().empty());
  driver->receive(bytes({0x05, 0x00, 0x05, 0x00, 0x00, 0x01, 1, 2, 3, 4, 0, 80}));
  EXPECT_EQ(driver->consumed(), 0u);
  EXPECT_TRUE(driver->delivered().empty());
  EXPECT_EQ(driver->failCalls(), 1);
}

TEST(SOCKS5FramerTest, CredentialFieldsOnTheWire) {
  const std::string ascii300(300, 'u');
  const std::string cutInsideCharacter = std::string(254, 'a') + "\xC3\xA9";  // 254 + "é"
  const struct {
    const char* name;
    std::optional<std::string> user, password;
    Bytes greeting;
    Bytes request;  // after the proxy selects 0x02
  } cases[] = {
      {"both present", "alice", "s3", bytes({5, 2, 0, 2}),
       concat({bytes({1, 5}), bytes("alice"), bytes({2}), bytes("s3")})},
      {"empty username and password are present", "", "", bytes({5, 2, 0, 2}), bytes({1, 0, 0})},
      {"300-byte username cut to 255", ascii300, "p", bytes({5, 2, 0, 2}),
       concat({bytes({1, 0xFF}), bytes(ascii300.substr(0, 255)), bytes({1, 'p'})})},
      {"cut inside a two-byte character", "u", cutInsideCharacter, bytes({5, 2, 0, 2}),
       concat({bytes({1, 1, 'u', 0xFF}), bytes(std::string(254, 'a')), bytes({0xC3})})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto driver = makeDriver(socks5(), makeSetup(c.user, c.password, "h", 1));
    driver->start();
    ASSERT_EQ(driver->writes().size(), 1u);
    EXPECT_EQ(hex(driver->writes()[0]), hex(c.greeting));
    driver->receive(bytes({0x05, 0x02}));
    ASSERT_EQ(driver->writes().size(), 2u);
    EXPECT_EQ(hex(driver->writes()[1]), hex(c.request));
  }
}

TEST(SOCKS5FramerTest, GreetingOffersCredentialsWhenEitherIsPresent) {
  const struct {
    std::optional<std::string> user, password;
    Bytes greeting;
  } cases[] = {
      {{}, {}, bytes({5, 1, 0})},
      {"u", {}, bytes({5, 2, 0, 2})},
      {{}, "p", bytes({5, 2, 0, 2})},
  };
  for (const auto& c : cases) {
    auto driver = makeDriver(socks5(), makeSetup(c.user, c.password, "h", 1));
    EXPECT_EQ(driver->start(), stream::StartResult::willMarkReady);
    EXPECT_EQ(hex(driver->written()), hex(c.greeting));
    // With one credential missing, a proxy that selects none goes on.
    driver->receive(bytes({0x05, 0x00}));
    EXPECT_FALSE(driver->failure());
    EXPECT_EQ(driver->writes().size(), 2u);
  }
}

TEST(SOCKS5FramerTest, ConnectRequestOnTheWire) {
  const std::string long300(300, 'h');
  const struct {
    std::string host;
    uint16_t port;
    Bytes request;
  } cases[] = {
      {"example.io", 443, concat({bytes({5, 1, 0, 3, 0x0A}), bytes("example.io"), bytes({0x01, 0xBB})})},
      {"192.0.2.1", 80, concat({bytes({5, 1, 0, 3, 0x09}), bytes("192.0.2.1"), bytes({0x00, 0x50})})},
      {"2001:db8::1", 65535,
       concat({bytes({5, 1, 0, 3, 11}), bytes("2001:db8::1"), bytes({0xFF, 0xFF})})},
      {long300, 1, concat({bytes({5, 1, 0, 3, 0xFF}), bytes(long300.substr(0, 255)), bytes({0, 1})})},
      {"", 8080, bytes({5, 1, 0, 3, 0x00, 0x1F, 0x90})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host.substr(0, 20));
    auto driver = makeDriver(socks5(), makeSetup({}, {}, c.host, c.port));
    driver->start();
    driver->receive(bytes({0x05, 0x00}));
    ASSERT_EQ(driver->writes().size(), 2u);
    EXPECT_EQ(hex(driver->writes()[1]), hex(c.request));
  }
}

TEST(SOCKS5FramerTest, ReplyByteByByteConsumesNothingUntilEachPartIsComplete) {
  auto driver = makeDriver(socks5(), makeSetup({}, {}, "t", 1));
  driver->start();
  driver->receive(bytes({0x05, 0x00}));
  ASSERT_EQ(driver->consumed(), 2u);
  const Bytes reply = bytes({0x05, 0x00, 0x00, 0x03, 7, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0x01, 0xBB});
  const size_t expectedConsumed[] = {2, 2, 2, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 16};
  size_t peeksBefore = 0;
  for (size_t i = 0; i < reply.size(); ++i) {
    driver->receive(ByteView(&reply[i], 1));
    EXPECT_EQ(driver->consumed(), expectedConsumed[i]) << "after byte " << i;
    size_t peeks = 0;
    for (const auto& call : driver->parseCalls()) {
      peeks += call.minimum == 1 && call.maximum == 1 && call.called && call.consumed == 0;
    }
    // Once the header is in, every call peeks the length byte again.
    if (i >= 4) {
      EXPECT_EQ(peeks, peeksBefore + 1) << "after byte " << i;
    }
    peeksBefore = peeks;
  }
  EXPECT_TRUE(driver->isReady());
  EXPECT_EQ(driver->readyCalls(), 1);
}

TEST(SOCKS5FramerTest, TunnelBytesInTheSameInputAreDeliveredRightAfterReady) {
  auto driver = makeDriver(socks5(), makeSetup({}, {}, "t", 1));
  driver->start();
  driver->receive(bytes({0x05, 0x00}));
  const Bytes reply = bytes({0x05, 0x00, 0x00, 0x03, 7, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0x01, 0xBB});
  driver->receive(concat({reply, bytes("GET /")}));
  EXPECT_EQ(driver->consumedAtReady(), 2u + 4 + 1 + 7 + 2);  // L + 3 after the header
  EXPECT_EQ(driver->delivered(), bytes("GET /"));
  ASSERT_EQ(driver->deliveries().size(), 1u);
  EXPECT_EQ(driver->deliveries()[0].definition, &socks5());
  EXPECT_FALSE(driver->deliveries()[0].isComplete);
}

TEST(SOCKS5FramerTest, PassThroughDeliversInChunksOfAtMost64KiB) {
  auto driver = makeDriver(socks5(), makeSetup({}, {}, "t", 1));
  driver->start();
  driver->receive(concat({bytes({0x05, 0x00}), kReplyIPv4}));
  ASSERT_TRUE(driver->isReady());
  Bytes big(200000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  driver->receive(big);
  EXPECT_EQ(driver->delivered(), big);
  ASSERT_EQ(driver->deliveries().size(), 4u);  // 65536 * 3 + 3392
  for (const auto& d : driver->deliveries()) EXPECT_LE(d.data.size(), 65536u);
  EXPECT_EQ(driver->buffered(), 0u);
}

// The application's output is forwarded unchanged whatever the state, and
// a send side that throws is no concern of the framer's.
TEST(SOCKS5FramerTest, OutputPassesThroughInEveryState) {
  auto driver = makeDriver(socks5(), makeSetup({}, {}, "t", 1));
  driver->start();
  driver->send(bytes("early"));
  driver->receive(bytes({0x05, 0x00}));
  driver->receive(kReplyIPv4);
  driver->send(bytes("late"));
  const auto& writes = driver->writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1], bytes("early"));
  EXPECT_EQ(writes[3], bytes("late"));

  driver->failNoCopyWrites(true);
  driver->send(bytes("lost"));
  EXPECT_EQ(driver->noCopyErrors(), 1);
  EXPECT_FALSE(driver->failure());

  auto failed = makeDriver(socks5(), std::nullopt);
  failed->start();
  failed->send(bytes("after failure"));
  EXPECT_EQ(failed->written(), bytes("after failure"));
}

}  // namespace
}  // namespace helper
