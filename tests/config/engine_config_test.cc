#include "helper/config/engine_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>
#include <vector>

#include "helper/protocol/mihomo_error.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    out.push_back(text.substr(start, nl - start));
  }
  out.push_back(text.substr(start));
  return out;
}

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

// The proxy entry's lines for what the golden files do not show: SOCKS5
// without credentials, and either credential alone.
TEST(EngineConfigTest, ProxyEntryEnd) {
  const std::pair<ProxyConfig, std::vector<std::string>> cases[] = {
      {upstream("h", 80), {"    port: 80", "    udp: true", "", "", "rules:"}},
      {upstream("h", 8, ProxyKind::http, "u"), {"    port: 8", "", "    username: \"u\"", "    password: \"\"", "", "rules:"}},
      {upstream("h", 1, ProxyKind::socks5, std::nullopt, "p"),
       {"    port: 1", "    udp: true", "    username: \"\"", "    password: \"p\"", "", "rules:"}},
  };
  for (const auto& [config, expected] : cases) {
    const auto got = lines(*makeConfig(config, "utun0"));
    const auto port = std::find(got.begin(), got.end(), expected.front());
    ASSERT_LE(port + static_cast<long>(expected.size()), got.end());
    EXPECT_EQ(std::vector<std::string>(port, port + static_cast<long>(expected.size())), expected) << config.port;
  }
}

// The first rule keeps the engine's own connection to the upstream out of
// the tunnel.
TEST(EngineConfigTest, AntiLoopRuleFollowsTheHostForm) {
  const std::pair<std::string, std::string> cases[] = {
      {"2001:db8::1", "  - IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve"},
      {"::ffff:192.0.2.1", "  - IP-CIDR6,::ffff:192.0.2.1/128,DIRECT,no-resolve"},
      {"1.2.3.4.5", "  - DOMAIN,1.2.3.4.5,DIRECT"},  // digits and dots, yet not IPv4
      {"256.1.1.1", "  - DOMAIN,256.1.1.1,DIRECT"},
  };
  for (const auto& [host, expected] : cases) {
    const auto got = lines(*makeConfig(upstream(host, 1), "utun0"));
    const auto first = std::find_if(std::find(got.begin(), got.end(), "rules:"), got.end(),
                                    [](const std::string& l) { return l.starts_with("  - "); });
    ASSERT_NE(first, got.end());
    EXPECT_EQ(*first, expected) << host;
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
