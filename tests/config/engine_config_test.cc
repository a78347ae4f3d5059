#include "helper/config/engine_config.h"

#include <gtest/gtest.h>

#include "helper/protocol/mihomo_error.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

ProxyConfig upstream(std::string host, uint16_t port, ProxyKind kind = ProxyKind::socks5,
                     std::optional<std::string> user = {}, std::optional<std::string> pass = {}) {
  return ProxyConfig{std::move(host), port, std::move(user), std::move(pass), kind};
}

// The golden files are whole configurations, byte for byte, written by hand
// from the layout the engine and the application expect, not generated: any
// change to the writer shows up here.
TEST(EngineConfigTest, Golden) {
  const std::pair<ProxyConfig, std::string> cases[] = {
      {upstream("192.0.2.10", 1080, ProxyKind::socks5, "alice", "p\"w/\\"), "socks5_credentials.yaml"},
      {upstream("proxy.example.net", 3128, ProxyKind::http), "http_plain.yaml"},
  };
  for (const auto& [config, file] : cases) {
    EXPECT_EQ(*makeConfig(config, file == "http_plain.yaml" ? "utun3" : "utun0"),
              test::readFile(test::sourceDir() + "/tests/config/golden/" + file));
  }
}

// What the golden files do not show: the end of the proxy entry for SOCKS5
// without credentials and for either credential alone, and the anti-loop
// rule (the first, which keeps the engine's own connection to the upstream
// out of the tunnel) for the other forms of host.
TEST(EngineConfigTest, ProxyEntryAndAntiLoopRuleOfEachForm) {
  const std::pair<ProxyConfig, std::string> cases[] = {
      {upstream("h", 80), "    port: 80\n    udp: true\n\n\nrules:\n"},
      {upstream("h", 8, ProxyKind::http, "u"), "    port: 8\n\n    username: \"u\"\n    password: \"\"\n\nrules:\n"},
      {upstream("h", 1, ProxyKind::socks5, std::nullopt, "p"),
       "    port: 1\n    udp: true\n    username: \"\"\n    password: \"p\"\n\nrules:\n"},
      {upstream("2001:db8::1", 1), "\n  - IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve\n"},
      {upstream("::ffff:192.0.2.1", 1), "\n  - IP-CIDR6,::ffff:192.0.2.1/128,DIRECT,no-resolve\n"},
      {upstream("1.2.3.4.5", 1), "\n  - DOMAIN,1.2.3.4.5,DIRECT\n"},  // digits and dots, yet not IPv4
      {upstream("256.1.1.1", 1), "\n  - DOMAIN,256.1.1.1,DIRECT\n"},
  };
  for (const auto& [config, expected] : cases) {
    EXPECT_NE(makeConfig(config, "utun0")->find(expected), std::string::npos) << expected;
  }
}

// A refused host is quoted in the error, at most forty characters of it (not
// bytes; a combining mark stays with its letter).
TEST(EngineConfigTest, RefusedHostIsQuotedShort) {
  const std::pair<std::string, std::string> cases[] = {
      {"a b" + std::string(60, 'x'), "a b" + std::string(37, 'x')},
      {std::string(39, 'a') + "й" + "e\u0301tail", std::string(39, 'a') + "й"},
  };
  for (const auto& [host, quoted] : cases) {
    const Result<std::string> refused = makeConfig(upstream(host, 1), "utun0");
    ASSERT_FALSE(refused) << host;
    EXPECT_TRUE(MihomoError::is(refused.error(), MihomoError::Case::startFailed));
    EXPECT_EQ(refused.error().message, "mihomo не стартанул: upstream host содержит недопустимые символы: '" + quoted + "'");
  }
}

TEST(EngineConfigTest, IsValidHost) {
  EXPECT_TRUE(isValidHost("azAZ09.-:_"));
  EXPECT_TRUE(isValidHost(std::string(253, 'a')));
  EXPECT_FALSE(isValidHost(std::string(254, 'a')));
  EXPECT_FALSE(isValidHost(""));
  // The neighbours of every allowed range, and what a URL could smuggle in.
  using namespace std::string_literals;
  for (const auto& c : {"`"s, "{"s, "@"s, "["s, "/"s, ";"s, " "s, "%"s, "\""s, "\n"s, "\0"s, "й"s}) {
    EXPECT_FALSE(isValidHost("h" + c)) << c;
  }
}

TEST(EngineConfigTest, EscapeYAML) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},  // "/" raw: YAML has no "\/"
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"пароль €😀", "\"пароль €😀\""},
      // Refused or folded by YAML readers: escaped, \U above the first plane.
      {"\x7f\u0080\u0085\u009f", "\"\\u007f\\u0080\\u0085\\u009f\""},
      {"\u2028\u2029\ufeff", "\"\\u2028\\u2029\\ufeff\""},
      {"\ufdd0\ufdef\ufffe\uffff", "\"\\ufdd0\\ufdef\\ufffe\\uffff\""},
      {"\U0001fffe\U0001ffff\U0010fffe\U0010ffff", "\"\\U0001fffe\\U0001ffff\\U0010fffe\\U0010ffff\""},
      // Their neighbours stay raw.
      {"~ \u00a0\u2027\u202a\ufdcf\ufdf0\ufefe\uff00\ufffd", "\"~ \u00a0\u2027\u202a\ufdcf\ufdf0\ufefe\uff00\ufffd\""},
      {"\U00010000\U0001fffd\U00020000\U0010fffd", "\"\U00010000\U0001fffd\U00020000\U0010fffd\""},
      {"\xff", "\"\""},    // not UTF-8: the empty scalar
      {"ok\xc3", "\"\""},  // truncated sequence
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(escapeYAML(value), expected) << value;
}

}  // namespace
}  // namespace helper
