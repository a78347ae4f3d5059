// The generated configuration against real readers: the engine itself
// (`mihomo -t`) and a strict YAML parser for credentials of any content.
#include <gtest/gtest.h>

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

// `mihomo -t` loads the configuration and reports whether it is valid.
void expectEngineAccepts(const std::string& engine, const std::string& dir, const std::string& text,
                         const std::string& label) {
  std::filesystem::create_directories(dir);
  test::writeFile(dir + "/config.yaml", text);
  const auto r = runCommand({engine, "-t", "-d", dir, "-f", dir + "/config.yaml"}, "", 60);
  EXPECT_EQ(r.exitStatus, 0) << label << "\n" << r.out << r.err;
  EXPECT_NE(r.out.find("test is successful"), std::string::npos) << label << "\n" << r.out << r.err;
}

ProxyConfig upstream(std::string host, uint16_t port, ProxyKind kind,
                     std::optional<std::string> user = {}, std::optional<std::string> pass = {}) {
  return ProxyConfig{std::move(host), port, std::move(user), std::move(pass), kind};
}

TEST(EngineCheckTest, RealEngineAcceptsEveryKindOfUpstream) {
  const auto engine = test::realEngineBinary();
  HELPER_SKIP_UNLESS(engine ? "" : "the real engine is not fetched (run scripts/test)");
  test::TempDir tmp;
  const ProxyConfig cases[] = {
      upstream("192.0.2.10", 1080, ProxyKind::socks5),
      upstream("2001:db8::10", 1080, ProxyKind::socks5),
      upstream("proxy.example.net", 3128, ProxyKind::http),
      upstream("proxy.example.net", 8080, ProxyKind::http, "user", "pass"),
      upstream("h_1.example", 1, ProxyKind::socks5, "only-user"),
      upstream("203.0.113.5", 65535, ProxyKind::socks5, std::nullopt, "only-pass"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, "q\"uote", "back\\slash"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, "line\nbreak\r\n", "tab\there"),
      upstream("192.0.2.1", 1080, ProxyKind::http, "пользователь", "пароль €😀"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, std::string("nul\0ctl\x01\x1f", 10),
               "nel\u0085ls\u2028ps\u2029nbsp\u00a0end"),
      upstream("192.0.2.1", 1080, ProxyKind::socks5, ": - [x] {y} # z", "&a *b !c %d @e `f'g"),
  };
  int i = 0;
  for (const auto& c : cases) {
    expectEngineAccepts(*engine, tmp.file("case" + std::to_string(i++)), makeConfig(c, "utun0"),
                        c.host + " " + c.username.value_or("") + " " + c.password.value_or(""));
  }
}

// The credential escaping writes "/" as "\/" and leaves DEL and the C1
// controls as they are, which is valid JSON; the engine's YAML reader refuses
// all three ("found unknown escape character", "control characters are not
// allowed"), so such a credential makes the engine exit at start. This test
// pins that behaviour down so that a change on either side is noticed.
TEST(EngineCheckTest, EngineRefusesEscapedSlashAndRawC1Controls) {
  const auto engine = test::realEngineBinary();
  HELPER_SKIP_UNLESS(engine ? "" : "the real engine is not fetched (run scripts/test)");
  test::TempDir tmp;
  const std::string passwords[] = {"a/b", "del\x7f", "c1\u0080"};
  for (const auto& password : passwords) {
    test::writeFile(tmp.file("config.yaml"),
                    makeConfig(upstream("192.0.2.1", 1080, ProxyKind::socks5, "u", password), "utun0"));
    const auto r = runCommand({*engine, "-t", "-d", tmp.path(), "-f", tmp.file("config.yaml")}, "", 60);
    EXPECT_NE(r.exitStatus, 0) << password;
    EXPECT_NE(r.out.find("test failed"), std::string::npos) << password << "\n" << r.out;
  }
}

// A random credential: mostly characters that are special to YAML, JSON or
// the line structure, mixed with arbitrary Unicode scalars.
std::string randomCredential(std::mt19937& rng) {
  // Left out: DEL, the C1 controls (U+0080..U+009F) and U+FFFE/U+FFFF,
  // which the escaping leaves raw and YAML readers refuse, and NEL, LS and
  // PS (U+0085, U+2028, U+2029), which YAML 1.1 readers take as line breaks
  // and fold together with the blanks before them.
  static const char32_t kSpecial[] = {'"', '\\', '/', '\n', '\r', '\t', '\b', '\f', 0, 1, 0x1f,
                                      0xa0, 0x2027, 0x202a, 0xfeff,
                                      ':', '#', '-', '[', '{', '&', '*', '!', '|', '>', '\'', '%',
                                      '@', '`', ' ', 0x10ffff, 0x1f600, 0x0301, 0x0439};
  std::uniform_int_distribution<int> length(0, 24);
  std::uniform_int_distribution<int> pick(0, 3);
  std::uniform_int_distribution<size_t> special(0, std::size(kSpecial) - 1);
  std::uniform_int_distribution<uint32_t> ascii(0x20, 0x7e);
  std::uniform_int_distribution<uint32_t> any(0, 0x10ffff);
  std::string out;
  for (int n = length(rng); n > 0; --n) {
    char32_t c;
    switch (pick(rng)) {
      case 0: c = kSpecial[special(rng)]; break;
      case 1: c = ascii(rng); break;
      default:
        do c = any(rng);
        while ((c >= 0xd800 && c <= 0xdfff) || (c >= 0x7f && c <= 0x9f) || c == 0x2028 ||
               c == 0x2029 || c == 0xfffe || c == 0xffff);
    }
    utf8::append(out, c);
  }
  return out;
}

std::string percentEncode(const std::string& bytes) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    out += '%';
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

TEST(EngineCheckTest, CredentialsRoundTripThroughAYamlReader) {
  const auto probe = runCommand({"/usr/bin/python3", "-c", "import yaml"});
  HELPER_SKIP_UNLESS(probe.exitStatus == 0 ? "" : "python3-yaml is not installed");
  test::TempDir tmp;
  std::mt19937 rng(20261206);
  // The rules every file must hold: those of a configuration without
  // credentials for the same upstream.
  const auto reference = tmp.file("reference.yaml");
  test::writeFile(reference, makeConfig(upstream("192.0.2.1", 1080, ProxyKind::socks5), "utun0"));
  const auto rulesJson = runCommand(
      {"/usr/bin/python3", "-c",
       "import json,sys,yaml; print(json.dumps(yaml.safe_load(open(sys.argv[1]))['rules']))",
       reference});
  ASSERT_EQ(rulesJson.exitStatus, 0) << rulesJson.err;
  const auto rules = nlohmann::json::parse(rulesJson.out);
  ASSERT_GT(rules.size(), 20u);

  nlohmann::json manifest = nlohmann::json::array();
  const auto engine = test::realEngineBinary();
  int engineChecks = 0;
  for (int i = 0; i < 1000; ++i) {
    const std::string user = randomCredential(rng);
    const std::string pass = randomCredential(rng);
    // Through the URL parser as the client would send them, percent-encoded.
    const auto parsed = ProxyConfig::parse("socks5://" + percentEncode(user) + ":" +
                                           percentEncode(pass) + "@192.0.2.1:1080");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->username.value_or(""), user);
    ASSERT_EQ(parsed->password.value_or(""), pass);
    const std::string file = tmp.file("c" + std::to_string(i) + ".yaml");
    const std::string text = makeConfig(*parsed, "utun0");
    test::writeFile(file, text);
    manifest.push_back({{"file", file}, {"username", user}, {"password", pass}, {"rules", rules}});
    // A sample also goes through the engine's own reader, which refuses
    // the escaped slash (see above).
    const bool slash = (user + pass).find('/') != std::string::npos;
    if (engine && !slash && engineChecks < 10) {
      ++engineChecks;
      expectEngineAccepts(*engine, tmp.file("engine" + std::to_string(i)), text, "random " + std::to_string(i));
    }
  }
  test::writeFile(tmp.file("manifest.json"), manifest.dump());
  const auto r = runCommand({"/usr/bin/python3", test::sourceDir() + "/tests/config/yaml_roundtrip.py",
                             tmp.file("manifest.json")},
                            "", 120);
  EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("1000 files read, 0 with mismatches"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace helper
