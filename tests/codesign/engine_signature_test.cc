// The engine binary check on real signed files. The test program itself is
// signed with the test team key after linking, so "our" Team ID is real
// unless a case substitutes the helper's own image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "helper/codesign/engine_signature.h"
#include "helper/engine/mihomo_error.h"
#include "tests/codesign/codesign_support.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using namespace test;

void flipByte(const std::string& path, std::streamoff offset) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(offset);
  char c = 0;
  f.get(c);
  f.seekp(offset);
  f.put(static_cast<char>(c ^ 0x01));
}

// The reason validateMihomoSignature gave, or "" when it passed.
std::string checkEngine(const std::string& path) {
  try {
    validateMihomoSignature(path);
    return "";
  } catch (const MihomoError& e) {
    EXPECT_EQ(e.errorCase(), MihomoError::Case::startFailed);
    EXPECT_EQ(e.errorDescription(), "mihomo не стартанул: " + e.detail());
    return e.detail();
  }
}

TEST(EngineSignatureTest, RefusesEveryEngineThatIsNotOurs) {
  const std::string team = testTeam();
  const std::string other = teamOfKey(otherTeamKey());
  const std::string id = "tarn.CorvalethApp.mihomo";
  struct Case {
    std::string name;
    Signing engine;
    std::function<void(const std::string& enginePath)> damage;  // after signing
    std::function<void(SubstituteServices&, const TempDir&)> helper;  // our own side
    std::string expected;
  };
  auto selfCopy = [](Signing s) {
    return [s](SubstituteServices& services, const TempDir& dir) {
      makeSignedCopy(peerProgram(), dir.file("helper"), s);
      services.selfPath = dir.file("helper");
    };
  };
  const std::vector<Case> cases = {
      {"signed by our team", teamSigned(id, testTeamKey()), nullptr, nullptr, ""},
      {"one byte changed", teamSigned(id, testTeamKey()),
       [](const std::string& p) { flipByte(p, 64); }, nullptr,
       "mihomo signature invalid (-67061) — возможна подмена бинарника"},
      {"unsigned", unsignedCode(), nullptr, nullptr,
       "mihomo signature invalid (-67062) — возможна подмена бинарника"},
      {"malformed trailer", unsignedCode(),
       [](const std::string& p) {
         std::ofstream(p, std::ios::app | std::ios::binary)
             << std::string("\xff\xff\x00\x00", 4) << "HELPER-CSIG\n";
       },
       nullptr, "mihomo signature invalid (-67049) — возможна подмена бинарника"},
      {"ad-hoc", adhocSigned(id), nullptr, nullptr,
       "mihomo signing-style mismatch (ours=" + team + ", mihomo=nil)"},
      {"other team", teamSigned(id, otherTeamKey()), nullptr, nullptr,
       "mihomo Team ID mismatch (" + other + " != " + team + ")"},
      {"missing", unsignedCode(), [](const std::string& p) { std::filesystem::remove(p); },
       nullptr, "SecStaticCodeCreateWithPath failed: -67068"},
      {"helper ad-hoc", teamSigned(id, testTeamKey()), nullptr,
       selfCopy(adhocSigned("tarn.CorvalethApp.helper")),
       "mihomo signing-style mismatch (ours=nil, mihomo=" + team + ")"},
      {"helper of the other team", teamSigned(id, testTeamKey()), nullptr,
       selfCopy(teamSigned("tarn.CorvalethApp.helper", otherTeamKey())),
       "mihomo Team ID mismatch (" + team + " != " + other + ")"},
      {"own code unavailable", teamSigned(id, testTeamKey()), nullptr,
       [](SubstituteServices& s, const TempDir&) { s.copySelfStatus = -67065; },
       "cannot read own signing info"},
      {"own dictionary unreadable", teamSigned(id, testTeamKey()), nullptr,
       [](SubstituteServices& s, const TempDir&) { s.ownInfoStatus = -67061; },
       "cannot read own signing dictionary"},
      {"engine dictionary unreadable", teamSigned(id, testTeamKey()), nullptr,
       [](SubstituteServices& s, const TempDir&) {
         s.otherInfo = [](std::optional<codesign::SigningDictionary>*) { return -67048; };
       },
       "cannot read mihomo signing info"},
      {"engine Team ID not text", teamSigned(id, testTeamKey()), nullptr,
       [](SubstituteServices& s, const TempDir&) {
         s.otherInfo = [](std::optional<codesign::SigningDictionary>* info) {
           *info = codesign::SigningDictionary{{"teamid", std::int64_t{7}}};
           return 0;
         };
       },
       "mihomo signing-style mismatch (ours=" + team + ", mihomo=nil)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string engine = dir.file("tarn.CorvalethApp.mihomo");
    makeSignedCopy(peerProgram(), engine, c.engine);
    if (c.damage) c.damage(engine);
    auto services = std::make_shared<SubstituteServices>();
    if (c.helper) c.helper(*services, dir);
    ServicesScope scope(services);
    EXPECT_EQ(checkEngine(engine), c.expected);
  }
}

TEST(EngineSignatureTest, TheRealEngineStillRunsWhenSigned) {
  const auto real = realEngineBinary();
  HELPER_SKIP_UNLESS(real ? "" : "the real engine is not fetched (scripts/test fetches it)");
  TempDir dir;
  const std::string engine = dir.file("tarn.CorvalethApp.mihomo");
  makeSignedCopy(*real, engine, teamSigned("tarn.CorvalethApp.mihomo", testTeamKey()));
  EXPECT_EQ(checkEngine(engine), "");
  const auto version = runCommand({engine, "-v"});
  EXPECT_EQ(version.exitStatus, 0) << version.err;
  EXPECT_NE(version.out.find("Mihomo"), std::string::npos) << version.out;
}

}  // namespace
}  // namespace helper
