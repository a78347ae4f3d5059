// helper-codesign as scripts and people use it: the real program on real
// files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <fstream>

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
  EXPECT_EQ(readFile(key), pem);

  const auto kept = tool({"keygen", "--if-missing", "--out", key});
  EXPECT_EQ(kept.exitStatus, 0) << kept.err;
  EXPECT_EQ(kept.out, made.out);
  EXPECT_EQ(readFile(key), pem);

  const auto forced = tool({"keygen", "--force", "--out", key});
  EXPECT_EQ(forced.exitStatus, 0) << forced.err;
  EXPECT_NE(forced.out, made.out);
  EXPECT_EQ(modeOf(key), 0600u);
  // No temporary files are left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  EXPECT_EQ(tool({"keygen", "--out", dir.file("no/such/dir/k")}).exitStatus, 1);
  EXPECT_EQ(tool({"keygen"}).exitStatus, 64);
}

TEST(HelperCodesignToolTest, SignDisplayVerifyRoundTrip) {
  TempDir dir;
  const std::string file = dir.file("app");
  makeSignedCopy(peerProgram(), file, unsignedCode());
  ::chmod(file.c_str(), 0750);
  const auto originalSize = std::filesystem::file_size(file);
  const std::string team = testTeam();

  const auto unsignedVerify = tool({"verify", file});
  EXPECT_EQ(unsignedVerify.exitStatus, 1);
  EXPECT_EQ(unsignedVerify.err,
            "helper-codesign: " + file + ": status -67062: code object is not signed at all\n");
  const auto unsignedDisplay = tool({"display", file});
  EXPECT_EQ(unsignedDisplay.exitStatus, 0);
  EXPECT_NE(unsignedDisplay.out.find("Identifier=not set\n"), std::string::npos);
  EXPECT_NE(unsignedDisplay.out.find("TeamIdentifier=not set\n"), std::string::npos);

  const auto signedTeam =
      tool({"sign", "--identifier", "tarn.CorvalethApp", "--key", testTeamKey(), file});
  ASSERT_EQ(signedTeam.exitStatus, 0) << signedTeam.err;
  EXPECT_EQ(modeOf(file), 0750u);
  const auto display = tool({"display", file});
  EXPECT_EQ(display.exitStatus, 0);
  EXPECT_NE(display.out.find("\nIdentifier=tarn.CorvalethApp\n"), std::string::npos) << display.out;
  EXPECT_NE(display.out.find("\nTeamIdentifier=" + team + "\n"), std::string::npos) << display.out;
  EXPECT_NE(display.out.find("\nSignature=Ed25519\n"), std::string::npos) << display.out;
  const auto verify = tool({"verify", file});
  EXPECT_EQ(verify.exitStatus, 0) << verify.err;
  EXPECT_EQ(verify.out, file + ": valid on disk (Identifier=tarn.CorvalethApp, TeamIdentifier=" +
                            team + ")\n");

  // Re-signing replaces the trailer instead of stacking a second one.
  const auto adhoc = tool({"sign", "--identifier", "x.y", "--adhoc", file});
  ASSERT_EQ(adhoc.exitStatus, 0) << adhoc.err;
  EXPECT_NE(adhoc.out.find("replacing existing signature"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(file),
            originalSize + codesign::trailerLength(codesign::SignatureKind::adhoc, 3));
  const auto adhocDisplay = tool({"display", file});
  EXPECT_NE(adhocDisplay.out.find("\nIdentifier=x.y\n"), std::string::npos);
  EXPECT_NE(adhocDisplay.out.find("\nTeamIdentifier=not set\n"), std::string::npos);
  EXPECT_EQ(tool({"verify", file}).exitStatus, 0);
  EXPECT_EQ(codesign::evaluateFile(file).trailer->codeLength, originalSize);

  // The signed program still runs.
  EXPECT_EQ(runCommand({file}).exitStatus, 0);
}

TEST(HelperCodesignToolTest, VerifyNamesTheStatusAndItsReason) {
  TempDir dir;
  const std::string file = dir.file("app");
  makeSignedCopy(peerProgram(), file, teamSigned("a.b", testTeamKey()));
  {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(1000);
    f.put('\x00');
    f.seekp(1001);
    f.put('\x01');
  }
  const auto tampered = tool({"verify", file});
  EXPECT_EQ(tampered.exitStatus, 1);
  EXPECT_NE(tampered.err.find("status -67061: the contents do not match the signature"),
            std::string::npos)
      << tampered.err;

  std::ofstream(dir.file("odd"), std::ios::binary) << "#!/bin/sh\n" << std::string("\x07\x00\x00\x00", 4)
                                                   << "HELPER-CSIG\n";
  const auto malformed = tool({"verify", dir.file("odd")});
  EXPECT_EQ(malformed.exitStatus, 1);
  EXPECT_NE(malformed.err.find("status -67049: malformed signature trailer: trailer length 7"),
            std::string::npos)
      << malformed.err;
  EXPECT_EQ(tool({"display", dir.file("odd")}).exitStatus, 1);

  const auto missing = tool({"verify", dir.file("missing")});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_NE(missing.err.find("status -67068"), std::string::npos);
  EXPECT_EQ(tool({"verify", dir.path()}).exitStatus, 1);
}

TEST(HelperCodesignToolTest, SignRefusesAndLeavesTheFileAlone) {
  TempDir dir;
  const std::string file = dir.file("odd");
  const std::string damaged = std::string("payload") + std::string("\x40\x00\x00\x00", 4) + "HELPER-CSIG\n";
  writeFile(file, damaged);
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // a part of it
  } cases[] = {
      {{"sign", "--identifier", "a", "--adhoc", file}, 1, "damaged signature trailer"},
      {{"sign", "--identifier", "a", "--key", dir.file("nokey"), file}, 1, "cannot read"},
      {{"sign", "--identifier", "a", "--key", file, file}, 1, "not a PEM private key"},
      {{"sign", "--identifier", "a", file}, 64, "exactly one of --key KEY and --adhoc"},
      {{"sign", "--identifier", "a", "--adhoc", "--key", testTeamKey(), file}, 64, "excludes"},
      {{"sign", "--identifier", "has space", "--adhoc", file}, 64, "printable ASCII"},
      {{"sign", "--identifier", "", "--adhoc", file}, 64, "empty"},
      {{"sign", "--identifier", std::string(256, 'a'), "--adhoc", file}, 64, "longer than 255"},
      {{"sign", "--identifier", "a", "--adhoc", dir.file("missing")}, 1, "cannot find"},
      {{"sign", "--identifier", "a", "--adhoc", dir.path()}, 1, "not a regular file"},
      {{"frobnicate"}, 64, "unknown command 'frobnicate'"},
  };
  for (const auto& c : cases) {
    const auto r = tool(c.args);
    EXPECT_EQ(r.exitStatus, c.status) << c.args[0] << " " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(readFile(file), damaged);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(HelperCodesignToolTest, SignFollowsLinksAndReplacesAtomically) {
  TempDir dir;
  const std::string file = dir.file("app");
  makeSignedCopy(peerProgram(), file, unsignedCode());
  const std::string before = readFile(file);
  std::filesystem::create_symlink(file, dir.file("link"));
  // A reader that opened the file before keeps reading the old bytes whole.
  std::ifstream reader(file, std::ios::binary);
  struct stat old {};
  ::stat(file.c_str(), &old);

  const auto r = tool({"sign", "--identifier", "a.b", "--key", testTeamKey(), dir.file("link")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link")));
  EXPECT_EQ(codesign::evaluateFile(file).identifier(), std::optional<std::string>("a.b"));
  struct stat now {};
  ::stat(file.c_str(), &now);
  EXPECT_NE(now.st_ino, old.st_ino);
  std::ostringstream seen;
  seen << reader.rdbuf();
  EXPECT_EQ(seen.str(), before);
}

TEST(HelperCodesignToolTest, TakesKeysMadeByOpenssl) {
  if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
  TempDir dir;
  const auto gen = runCommand({"/usr/bin/openssl", "genpkey", "-algorithm", "ed25519", "-out",
                               dir.file("k.pem")});
  ASSERT_EQ(gen.exitStatus, 0) << gen.err;
  makeSignedCopy(peerProgram(), dir.file("app"), unsignedCode());
  const auto r = tool({"sign", "--identifier", "a.b", "--key", dir.file("k.pem"), dir.file("app")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.out.find("TeamIdentifier=" + teamOfKey(dir.file("k.pem"))), std::string::npos);
  // openssl writes the key with the umask's mode: the tool warns.
  ::chmod(dir.file("k.pem").c_str(), 0644);
  const auto warned = tool({"sign", "--identifier", "a.b", "--key", dir.file("k.pem"), dir.file("app")});
  EXPECT_EQ(warned.exitStatus, 0);
  EXPECT_NE(warned.err.find("can be read by other users"), std::string::npos);

  const auto rsa = runCommand({"/usr/bin/openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                               "rsa_keygen_bits:1024", "-out", dir.file("rsa.pem")});
  ASSERT_EQ(rsa.exitStatus, 0) << rsa.err;
  const auto refused = tool({"sign", "--identifier", "a.b", "--key", dir.file("rsa.pem"), dir.file("app")});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("not an Ed25519 key"), std::string::npos) << refused.err;
}

TEST(HelperCodesignToolTest, HelpTeachesAndExitsZero) {
  const auto help = tool({"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* word : {"keygen", "sign", "display", "verify", "Exit status"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  const auto signHelp = tool({"sign", "--help"});
  EXPECT_EQ(signHelp.exitStatus, 0);
  EXPECT_NE(signHelp.out.find("--adhoc"), std::string::npos) << signHelp.out;
  EXPECT_NE(signHelp.out.find("Exit status: 0 signed"), std::string::npos) << signHelp.out;
  const auto verifyHelp = tool({"verify", "--help"});
  EXPECT_NE(verifyHelp.out.find("-67061"), std::string::npos) << verifyHelp.out;
}

}  // namespace
}  // namespace helper
