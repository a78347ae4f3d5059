// The generated configuration against the real reader: the engine itself,
// with every kind of upstream, the characters its reader treats specially,
// and random credentials from all of Unicode. (The line structure and the
// characters a file may hold are also the configuration fuzzer's.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "helper/config/engine_config.h"
#include "platform/text/utf8.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using test::runCommand;

ProxyConfig upstream(std::string host, uint16_t port, ProxyKind kind,
                     std::optional<std::string> user = {}, std::optional<std::string> pass = {}) {
  return ProxyConfig{std::move(host), port, std::move(user), std::move(pass), kind};
}

// A random credential from all of Unicode, with "/", the characters special
// to YAML or the line structure, and those YAML readers refuse or fold
// (controls, NEL, LS, PS, non-characters) over-represented.
std::string randomCredential(std::mt19937& rng) {
  static const char32_t kSpecial[] = {'"', '\\', '\n', '\r', '\t', '\b', '\f', 0x85, 0x2028, 0x2029,
                                      0xa0, 0x2027, 0x202a, 0xfeff, ':', '#', '-', '[', '{', '&', '*', '!',
                                      '|', '>', '\'', '%', '@', '`', ' ', 0x1f600, 0x0301, 0x0439};
  const auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
  std::string out;
  for (std::uint32_t n = below(25); n > 0; --n) {
    char32_t c = below(0x10f800);  // any scalar, the surrogates skipped
    if (c >= 0xd800) c += 0x800;
    switch (below(6)) {
      case 0: c = '/'; break;
      case 1: c = kSpecial[below(std::size(kSpecial))]; break;
      case 2:  // C0, then DEL and C1
        c = below(0x41);
        if (c >= 0x20) c += 0x5f;
        break;
      case 3: c = below(2) ? 0xfdd0 + below(32) : (below(17) << 16) | 0xfffe | below(2); break;  // non-characters
      case 4: c = 0x20 + below(0x5f); break;  // printable ASCII
      default: break;
    }
    utf8::append(out, c);
  }
  return out;
}

std::string percentEncode(const std::string& bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) out += {'%', hex[b >> 4], hex[b & 15]};
  return out;
}

// Every kind of upstream, and credentials with the characters the engine's
// reader refuses raw ("/" as the JSON escape "\/", DEL, C1 controls,
// U+FFFE/U+FFFF) or folds (NEL, LS, PS), and non-characters: written as the
// writer escapes them, every configuration loads (`mihomo -t`), and the
// engine reads each credential back exactly: written with the same escaping
// as proxy names, it lists them over its controller API. (Credentials
// reaching a real upstream exactly are the end-to-end test's.)
TEST(EngineCheckTest, RealEngineLoadsEveryUpstreamAndReadsCredentialsExactly) {
  const auto engine = test::realEngineBinary();
  HELPER_SKIP_UNLESS(engine ? "" : "the real engine is not fetched (run scripts/test)");
  HELPER_SKIP_UNLESS(::access("/usr/bin/curl", X_OK) == 0 ? "" : "no /usr/bin/curl (Debian package curl)");
  test::TempDir tmp;
  std::vector<ProxyConfig> cases = {
      upstream("192.0.2.10", 1080, ProxyKind::socks5),
      upstream("2001:db8::10", 1080, ProxyKind::socks5),
      upstream("proxy.example.net", 3128, ProxyKind::http),
      upstream("proxy.example.net", 8080, ProxyKind::http, "user", "pass"),
      upstream("h_1.example", 1, ProxyKind::socks5, "only-user"),
      upstream("203.0.113.5", 65535, ProxyKind::socks5, std::nullopt, "only-pass"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, "q\"uote", "back\\slash"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, "line\nbreak\r\n", "tab\there"),
      upstream("192.0.2.1", 1080, ProxyKind::http, "пользователь", "пароль €😀"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, std::string("nul\0ctl\x01\x1f", 10), "nbsp\u00a0end"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, ": - [x] {y} # z", "&a *b !c %d @e `f'g"),
  };
  for (const std::string password : {"a/b", "del\x7f", "c1\u0080\u009f", "nel\u0085", "ls\u2028ps\u2029",
                                     "\ufffe\uffff", "\ufdd0\U0001fffe"}) {
    cases.push_back(upstream("192.0.2.1", 1080, ProxyKind::socks5, "u", password));
  }
  // And 200 random pairs, given percent-encoded in the URL as a client
  // sends them, decoded exactly.
  std::mt19937 rng(20261206);
  for (int i = 0; i < 200; ++i) {
    const std::string user = randomCredential(rng), pass = randomCredential(rng);
    const auto parsed = ProxyConfig::parse("socks5://" + percentEncode(user) + ":" + percentEncode(pass) +
                                           "@192.0.2.1:1080");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(std::make_pair(parsed->username.value_or(""), parsed->password.value_or("")), std::make_pair(user, pass));
    cases.push_back(*parsed);
  }
  std::vector<std::string> values;
  std::string names = "external-controller-unix: ctl.sock\nproxies:\n";
  for (const auto& c : cases) {
    const std::string dir = tmp.file("case" + std::to_string(values.size()));
    std::filesystem::create_directories(dir);
    test::writeFile(dir + "/config.yaml", *makeConfig(c, "utun0"));
    const auto r = runCommand({*engine, "-t", "-d", dir, "-f", dir + "/config.yaml"}, "", 60);
    const std::string label = c.host + " " + nlohmann::json({c.username.value_or(""), c.password.value_or("")}).dump();
    EXPECT_EQ(r.exitStatus, 0) << label << "\n" << r.out << r.err;
    EXPECT_NE(r.out.find("test is successful"), std::string::npos) << label << "\n" << r.out << r.err;
    for (const auto& value : {c.username.value_or(""), c.password.value_or("")}) {
      names += "  - name: " + escapeYAML(std::to_string(values.size()) + ":" + value) +
               "\n    type: socks5\n    server: 192.0.2.1\n    port: 1080\n";
      values.push_back(value);
    }
  }
  test::writeFile(tmp.file("names.yaml"), names + "rules:\n  - MATCH,DIRECT");
  const auto r = runCommand(
      {"/bin/sh", "-c",
       // The controller may answer before the proxies are loaded: asked
       // again until the first is listed.
       "\"$0\" -d \"$1\" -f \"$1/names.yaml\" >/dev/null 2>&1 & pid=$!; for i in $(seq 100); do "
       "out=$(curl -sf --unix-socket \"$1/ctl.sock\" http://engine/proxies) && "
       "case $out in *'\"0:'*) printf %s \"$out\"; break;; esac; sleep 0.1; done; kill $pid",
       *engine, tmp.path()},
      "", 60);
  ASSERT_TRUE(nlohmann::json::accept(r.out)) << r.out << r.err;
  const auto listed = nlohmann::json::parse(r.out)["proxies"];
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_TRUE(listed.contains(std::to_string(i) + ":" + values[i])) << nlohmann::json(values[i]);
  }
}

}  // namespace
}  // namespace helper
