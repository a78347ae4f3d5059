// helper-codesign as scripts and people use it: the real program on real
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/codesign/code_file.h"
#include "tests/codesign/codesign_support.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using namespace test;

CommandResult tool(std::vector<std::string> args) {
  args.insert(args.begin(), codesignTool());
  return runCommand(args);
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

size_t entries(const std::string& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir),
                                           std::filesystem::directory_iterator()));
}

TEST(HelperCodesignToolTest, KeygenWritesAPrivateKeyAndNeverReplacesOne) {
  TempDir dir;
  const std::string key = dir.file("team.key");
  const auto made = tool({"keygen", "--out", key});
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(made.out, teamOfKey(key) + "\n");
  const std::string pem = readFile(key);

  const auto again = tool({"keygen", "--out", key});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
  const auto kept = tool({"keygen", "--if-missing", "--out", key});
  EXPECT_EQ(kept.out, made.out);
  EXPECT_EQ(readFile(key), pem);
  const auto forced = tool({"keygen", "--force", "--out", key});
  EXPECT_NE(forced.out, made.out);
  EXPECT_EQ(modeOf(key), 0600u);
  EXPECT_EQ(entries(dir.path()), 1u);  // no temporary file left behind
}

TEST(HelperCodesignToolTest, SignsInPlaceKeepingModeAndReplacingTheOldSignature) {
  TempDir dir;
  const std::string file = dir.file("app");
  makeSignedCopy(peerProgram(), file, unsignedCode());
  ::chmod(file.c_str(), 0750);
  const auto size = std::filesystem::file_size(file);
  std::filesystem::create_symlink(file, dir.file("link"));
  std::ifstream reader(file, std::ios::binary);  // opened before: keeps the old bytes
  const std::string before = readFile(file);

  const auto signedTeam =
      tool({"sign", "--identifier", "tarn.CorvalethApp", "--key", testTeamKey(), dir.file("link")});
  ASSERT_EQ(signedTeam.exitStatus, 0) << signedTeam.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
  EXPECT_EQ(modeOf(file), 0750u);
  const auto display = tool({"display", file});
  EXPECT_NE(display.out.find("\nIdentifier=tarn.CorvalethApp\n"), std::string::npos);
  EXPECT_NE(display.out.find("\nTeamIdentifier=" + testTeam() + "\n"), std::string::npos);
  const auto verify = tool({"verify", file});
  EXPECT_EQ(verify.exitStatus, 0) << verify.err;
  EXPECT_EQ(verify.out, file + ": valid on disk (Identifier=tarn.CorvalethApp, TeamIdentifier=" +
                            testTeam() + ")\n");
  std::ostringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), before);

  const auto adhoc = tool({"sign", "--identifier", "x.y", "--adhoc", file});
  ASSERT_EQ(adhoc.exitStatus, 0) << adhoc.err;
  EXPECT_NE(adhoc.out.find("replacing existing signature"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(file),
            size + codesign::trailerLength(codesign::SignatureKind::adhoc, 3));
  EXPECT_NE(tool({"display", file}).out.find("\nTeamIdentifier=not set\n"), std::string::npos);
  EXPECT_EQ(runCommand({file}).exitStatus, 0);  // still runs
  EXPECT_EQ(entries(dir.path()), 2u);
}

TEST(HelperCodesignToolTest, FailuresSayWhyAndChangeNothing) {
  TempDir dir;
  const std::string damaged = dir.file("damaged");
  const std::string content = std::string("payload\x40\x00\x00\x00", 11) + "HELPER-CSIG\n";
  writeFile(damaged, content);
  const std::string tampered = dir.file("tampered");
  makeSignedCopy(peerProgram(), tampered, teamSigned("a.b", testTeamKey()));
  {
    std::fstream f(tampered, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1000);
    f.put('\x5a');
  }
  makeSignedCopy(peerProgram(), dir.file("plain"), unsignedCode());
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of it
  } cases[] = {
      {{"verify", dir.file("plain")}, 1, "status -67062: code object is not signed at all"},
      {{"verify", tampered}, 1, "status -67061: the contents do not match the signature"},
      {{"verify", damaged}, 1, "status -67049: malformed signature trailer: trailer length 64"},
      {{"verify", dir.file("missing")}, 1, "status -67068"},
      {{"display", damaged}, 1, "-67049"},
      {{"sign", "--identifier", "a", "--adhoc", damaged}, 1, "damaged signature trailer"},
      {{"sign", "--identifier", "a", "--key", damaged, damaged}, 1, "not a PEM private key"},
      {{"sign", "--identifier", "a", damaged}, 64, "exactly one of --key KEY and --adhoc"},
      {{"sign", "--identifier", "has space", "--adhoc", damaged}, 64, "printable ASCII"},
      {{"sign", "--identifier", std::string(256, 'a'), "--adhoc", damaged}, 64, "longer than 255"},
      {{"sign", "--identifier", "a", "--adhoc", dir.path()}, 1, "not a regular file"},
      {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
  };
  for (const auto& c : cases) {
    const auto r = tool(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << c.args[0] << " " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  EXPECT_EQ(readFile(damaged), content);
  EXPECT_EQ(entries(dir.path()), 3u);
}

TEST(HelperCodesignToolTest, TakesEd25519KeysMadeByOpensslOnly) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
  TempDir dir;
  makeSignedCopy(peerProgram(), dir.file("app"), unsignedCode());
  for (const auto& [algorithm, works] : {std::pair{"ed25519", true}, std::pair{"RSA", false}}) {
    const std::string key = dir.file(std::string(algorithm) + ".pem");
    ASSERT_EQ(runCommand({"/usr/bin/openssl", "genpkey", "-algorithm", algorithm, "-out", key})
                  .exitStatus, 0);
    ::chmod(key.c_str(), 0644);
    const auto r = tool({"sign", "--identifier", "a.b", "--key", key, dir.file("app")});
    EXPECT_EQ(r.exitStatus, works ? 0 : 1) << r.err;
    if (works) {
      EXPECT_NE(r.out.find("TeamIdentifier=" + teamOfKey(key)), std::string::npos);
      EXPECT_NE(r.err.find("can be read by other users"), std::string::npos);
    } else {
      EXPECT_NE(r.err.find("not an Ed25519 key"), std::string::npos) << r.err;
    }
  }
}

TEST(HelperCodesignToolTest, HelpTeachesAndExitsZero) {
  const auto help = tool({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* word : {"keygen", "sign", "display", "verify", "Examples", "Exit status"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  const auto signHelp = tool({"sign", "--help"});
  EXPECT_EQ(signHelp.exitStatus, 0);
  EXPECT_NE(signHelp.out.find("Exit status: 0 signed"), std::string::npos) << signHelp.out;
}

}  // namespace
}  // namespace helper
