// The generated configuration against the real reader: the engine itself.
// (Random credentials are the configuration fuzzer's; the line structure and
// the characters it may hold, too.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "helper/config/engine_config.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using test::runCommand;

ProxyConfig upstream(std::string host, uint16_t port, ProxyKind kind,
                     std::optional<std::string> user = {}, std::optional<std::string> pass = {}) {
  return ProxyConfig{std::move(host), port, std::move(user), std::move(pass), kind};
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
