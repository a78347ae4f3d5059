#include "helper/config/engine_config.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "helper/engine/mihomo_error.h"
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

std::string golden(const std::string& name) {
  return test::readFile(test::sourceDir() + "/tests/config/golden/" + name);
}

// The two golden files are whole configurations, byte for byte. They were
// written by hand from the layout the engine and the application expect, not
// generated, so any change to the writer shows up here.
TEST(EngineConfigTest, GoldenSocks5WithCredentials) {
  const auto text = *makeConfig(upstream("192.0.2.10", 1080, ProxyKind::socks5, "alice", "p\"w/\\"), "utun0");
  EXPECT_EQ(text, golden("socks5_credentials.yaml"));
}

TEST(EngineConfigTest, GoldenHttpWithoutCredentials) {
  EXPECT_EQ(*makeConfig(upstream("proxy.example.net", 3128, ProxyKind::http), "utun3"),
            golden("http_plain.yaml"));
}

TEST(EngineConfigTest, EmptyLinesBetweenPortAndRules) {
  struct Case {
    ProxyConfig config;
    std::vector<std::string> afterPort;  // lines from the port line to "rules:"
  } cases[] = {
      {upstream("h", 80, ProxyKind::socks5), {"    port: 80", "    udp: true", "", "", "rules:"}},
      {upstream("h", 80, ProxyKind::http), {"    port: 80", "", "", "", "rules:"}},
      {upstream("h", 8, ProxyKind::http, "u"),
       {"    port: 8", "", "    username: \"u\"", "    password: \"\"", "", "rules:"}},
      {upstream("h", 1, ProxyKind::socks5, std::nullopt, "p"),
       {"    port: 1", "    udp: true", "    username: \"\"", "    password: \"p\"", "", "rules:"}},
  };
  for (const auto& c : cases) {
    const auto got = lines(*makeConfig(c.config, "utun0"));
    const auto port = std::find(got.begin(), got.end(), c.afterPort.front());
    ASSERT_NE(port, got.end());
    EXPECT_EQ(std::vector<std::string>(port, port + static_cast<long>(c.afterPort.size())), c.afterPort)
        << "kind " << rawValue(c.config.kind);
  }
}

TEST(EngineConfigTest, AntiLoopRuleFollowsTheHostForm) {
  const std::pair<std::string, std::string> cases[] = {
      {"192.0.2.1", "  - IP-CIDR,192.0.2.1/32,DIRECT,no-resolve"},
      {"2001:db8::1", "  - IP-CIDR6,2001:db8::1/128,DIRECT,no-resolve"},
      {"::ffff:192.0.2.1", "  - IP-CIDR6,::ffff:192.0.2.1/128,DIRECT,no-resolve"},
      {"proxy.example", "  - DOMAIN,proxy.example,DIRECT"},
      {"1.2.3.4.5", "  - DOMAIN,1.2.3.4.5,DIRECT"},  // digits and dots, yet not IPv4
      {"1.2.3", "  - DOMAIN,1.2.3,DIRECT"},
      {"256.1.1.1", "  - DOMAIN,256.1.1.1,DIRECT"},
  };
  for (const auto& [host, expected] : cases) {
    const auto got = lines(*makeConfig(upstream(host, 1), "utun0"));
    const auto rules = std::find(got.begin(), got.end(), "rules:");
    ASSERT_NE(rules, got.end());
    // The anti-loop rule is the first rule line, before the LAN rules.
    const auto first = std::find_if(rules, got.end(), [](const std::string& l) { return l.rfind("  - ", 0) == 0; });
    EXPECT_EQ(*first, expected) << host;
  }
}

TEST(EngineConfigTest, RuleSectionShape) {
  const auto got = lines(*makeConfig(upstream("h", 1), "utun0"));
  const auto rules = std::find(got.begin(), got.end(), "rules:");
  ASSERT_NE(rules, got.end());
  int rejects = 0, banners = 0, empties = 0;
  std::string banner = "  # ";
  for (int i = 0; i < 62; ++i) banner += "\u2500";
  for (auto it = rules + 1; it != got.end(); ++it) {
    if (it->ends_with(",REJECT")) ++rejects;
    if (*it == banner) ++banners;
    if (it->empty()) ++empties;
    EXPECT_TRUE(it->empty() || it->rfind("  - ", 0) == 0 || it->rfind("  # ", 0) == 0) << *it;
  }
  EXPECT_EQ(rejects, 17);
  EXPECT_EQ(banners, 8);
  EXPECT_EQ(empties, 2);
  EXPECT_EQ(got.back(), "  - MATCH,upstream");
  EXPECT_EQ(got[got.size() - 2], banner);
}

TEST(EngineConfigTest, NoFinalLineFeed) {
  const auto text = *makeConfig(upstream("h", 1), "utun0");
  EXPECT_TRUE(text.ends_with("\n  - MATCH,upstream"));
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(EngineConfigTest, RefusedHostNamesAtMostFortyCharacters) {
  const std::string refused = "mihomo не стартанул: upstream host содержит недопустимые символы: '";
  const std::string long_bad = "a b" + std::string(60, 'x');
  const Result<std::string> bad = makeConfig(upstream(long_bad, 1), "utun0");
  ASSERT_FALSE(bad);
  EXPECT_TRUE(MihomoError::is(bad.error(), MihomoError::Case::startFailed));
  EXPECT_EQ(bad.error().message, refused + long_bad.substr(0, 40) + "'");
  // Forty characters, not forty bytes, and a combining mark stays with its letter.
  const std::string cyrillic = std::string(39, 'a') + "й" + "e\u0301tail";
  EXPECT_EQ(makeConfig(upstream(cyrillic, 1), "utun0").error().message, refused + std::string(39, 'a') + "й'");
}

TEST(EngineConfigTest, IsValidHost) {
  const std::pair<std::string, bool> cases[] = {
      {"", false},
      {std::string(253, 'a'), true},
      {std::string(254, 'a'), false},
      {"a.b-c_d:E9", true},
      {"a b", false},
      {"[::1]", false},
      {"fe80::1%eth0", false},
      {"a/b", false},
      {"u@h", false},
      {"h\"", false},
      {"h\n", false},
      {"хост", false},
      {std::string("h\0", 2), false},
  };
  for (const auto& [host, valid] : cases) EXPECT_EQ(isValidHost(host), valid) << host;
}

TEST(EngineConfigTest, EscapeYAML) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"q\"b\\s/", "\"q\\\"b\\\\s/\""},  // "/" raw: YAML has no "\/"
      {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
      {std::string("\0\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
      {"пароль €", "\"пароль €\""},
      {"😀", "\"😀\""},
      // Refused or folded by YAML readers: escaped, \U above the first plane.
      {"\x7f\u0080\u0085\u009f", "\"\\u007f\\u0080\\u0085\\u009f\""},
      {"\u2028\u2029", "\"\\u2028\\u2029\""},
      {"\ufdd0\ufdef\ufffe\uffff", "\"\\ufdd0\\ufdef\\ufffe\\uffff\""},
      {"\U0001fffe\U0001ffff\U0010fffe\U0010ffff", "\"\\U0001fffe\\U0001ffff\\U0010fffe\\U0010ffff\""},
      // Their neighbours, and the byte-order mark, stay raw.
      {"~\u00a0\u2027\u202a\ufdcf\ufdf0\ufeff\ufffd", "\"~\u00a0\u2027\u202a\ufdcf\ufdf0\ufeff\ufffd\""},
      {"\U00010000\U0001fffd\U00020000\U0010fffd", "\"\U00010000\U0001fffd\U00020000\U0010fffd\""},
      {"\xff", "\"\""},           // not UTF-8: the empty scalar
      {"ok\xc3", "\"\""},         // truncated sequence
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(escapeYAML(value), expected) << value;
}

TEST(EngineConfigTest, CredentialsStayOnTheirLine) {
  const auto text =
      *makeConfig(upstream("h", 1, ProxyKind::socks5, "a\nrules:\n  - MATCH,DIRECT", "x\r\n"), "utun0");
  const auto got = lines(text);
  EXPECT_NE(std::find(got.begin(), got.end(), "    username: \"a\\nrules:\\n  - MATCH,DIRECT\""), got.end());
  EXPECT_NE(std::find(got.begin(), got.end(), "    password: \"x\\r\\n\""), got.end());
  EXPECT_EQ(std::count(got.begin(), got.end(), "rules:"), 1);
}

}  // namespace
}  // namespace helper
