// The launch image stamp and the replaced-image rule, on real files. The
// helper's own path is redirected to a file of the test, so it can be
// rewritten, replaced and deleted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "helper/codesign/code_sign_validator.h"
#include "tests/codesign/codesign_support.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

using namespace test;

void setMtime(const std::string& path, time_t seconds, long nanoseconds) {
  const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Rewrites the file in place (same inode) with `content`.
void rewriteInPlace(const std::string& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
}

void resetStartupStamp() {
  std::lock_guard<std::mutex> guard(CodeSignValidator::stampLock());
  CodeSignValidator::startupStamp().reset();
}

TEST(ImageStampTest, ChangesExactlyWhenTheFileIsAnotherOne) {
  struct Case {
    std::string name;
    std::function<void(const std::string& path, const TempDir& dir)> change;
    bool equal;
  };
  const std::vector<Case> cases = {
      {"untouched", [](const std::string&, const TempDir&) {}, true},
      {"rewritten within the same second, same size, same inode",
       [](const std::string& p, const TempDir&) {
         rewriteInPlace(p, "BBBBBBBB");
         setMtime(p, 1700000000, 900000000);
       },
       true},
      {"rewritten to another size",
       [](const std::string& p, const TempDir&) {
         rewriteInPlace(p, "AAAAAAAAA");
         setMtime(p, 1700000000, 0);
       },
       false},
      {"modified in a later second",
       [](const std::string& p, const TempDir&) { setMtime(p, 1700000001, 0); }, false},
      {"replaced by another file with the same size and time",
       [](const std::string& p, const TempDir& dir) {
         writeFile(dir.file("new"), "AAAAAAAA");
         setMtime(dir.file("new"), 1700000000, 0);
         std::filesystem::rename(dir.file("new"), p);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("helper");
    writeFile(path, "AAAAAAAA");
    setMtime(path, 1700000000, 100);
    const auto before = CodeSignValidator::stampOf(path);
    ASSERT_TRUE(before);
    // Keep the old inode alive, so a replacement cannot reuse its number.
    const int keep = ::open(path.c_str(), O_RDONLY);
    c.change(path, dir);
    const auto after = CodeSignValidator::stampOf(path);
    ::close(keep);
    ASSERT_TRUE(after);
    EXPECT_EQ(*before == *after, c.equal);
  }
}

TEST(ImageStampTest, OwnImageUnreadableSaysWhetherItWasReplaced) {
  const std::string selfFailed = "error: SecCodeCopySelf failed: -67065";
  const std::string infoFailed = "error: SecCodeCopySigningInformation failed: -67061";
  const std::string replaced =
      "fault: rejecting client: our binary on disk was replaced after launch (app updated) — "
      "this process can no longer validate anyone";
  const std::string notSigned =
      "error: rejecting client: cannot read our own signing info (helper not signed?)";
  struct Case {
    std::string name;
    bool stampAtStart;
    std::function<void(const std::string& path, const TempDir& dir)> afterStart;
    bool selfFails;  // otherwise reading our own signing information fails
    bool replacedSinceLaunch;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"replaced by an update", true,
       [](const std::string& p, const TempDir& dir) {
         writeFile(dir.file("update"), "new version");
         std::filesystem::rename(dir.file("update"), p);
       },
       true, true, {selfFailed, replaced}},
      {"deleted", true, [](const std::string& p, const TempDir&) { std::filesystem::remove(p); },
       true, true, {selfFailed, replaced}},
      {"unchanged", true, [](const std::string&, const TempDir&) {}, true, false,
       {selfFailed, notSigned}},
      {"replaced, but no stamp was taken at start", false,
       [](const std::string& p, const TempDir& dir) {
         writeFile(dir.file("update"), "new version");
         std::filesystem::rename(dir.file("update"), p);
       },
       true, false, {selfFailed, notSigned}},
      {"own dictionary unreadable after an update", true,
       [](const std::string& p, const TempDir&) { setMtime(p, 1800000000, 0); }, false, true,
       {infoFailed, replaced}},
  };
  TempDir clientDir;
  makeSignedCopy(peerProgram(), clientDir.file("client"),
                 teamSigned("tarn.CorvalethApp", testTeamKey()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("helper");
    writeFile(path, "old version");
    auto services = std::make_shared<SubstituteServices>();
    services->executablePath = path;
    if (c.selfFails) {
      services->copySelfStatus = -67065;
    } else {
      services->ownInfoStatus = -67061;
    }
    ServicesScope scope(services);
    resetStartupStamp();
    if (c.stampAtStart) CodeSignValidator::recordStartupStamp();
    c.afterStart(path, dir);
    EXPECT_EQ(CodeSignValidator::imageReplacedSinceLaunch(), c.replacedSinceLaunch);

    RunningPeer client(clientDir.file("client"));
    LogCapture log;
    EXPECT_FALSE(CodeSignValidator::validate(client.peer()));
    EXPECT_EQ(log.lines(), c.lines);
  }
  resetStartupStamp();
}

TEST(ImageStampTest, TheStampAtStartIsOfTheRunningExecutable) {
  resetStartupStamp();
  CodeSignValidator::recordStartupStamp();
  {
    std::lock_guard<std::mutex> guard(CodeSignValidator::stampLock());
    EXPECT_EQ(CodeSignValidator::startupStamp(), CodeSignValidator::stampOf("/proc/self/exe"));
  }
  EXPECT_FALSE(CodeSignValidator::imageReplacedSinceLaunch());
  resetStartupStamp();
}

}  // namespace
}  // namespace helper
