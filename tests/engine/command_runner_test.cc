// The command runner and the interface inventory, with real programs and
// real devices in the test's own network namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <system_error>

#include "helper/engine/mihomo_manager.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper::test {
namespace {

TEST(CommandRunnerTest, OutputOfBothStreamsInterleavedAndUnchanged) {
  EXPECT_EQ(MihomoManager::runShellSync("/bin/sh", {"-c", "echo out; echo err >&2; printf ' tail '"}),
            "out\nerr\n tail ");
  EXPECT_EQ(MihomoManager::runShellSync("/bin/sh", {"-c", "echo only-stderr >&2; exit 3"}), "only-stderr\n");
  // No shell between us and the program: arguments reach it verbatim.
  EXPECT_EQ(MihomoManager::runShellSync("/bin/echo", {"$HOME", "a b", "*"}), "$HOME a b *\n");
}

TEST(CommandRunnerTest, InvalidUtf8GivesTheEmptyText) {
  EXPECT_EQ(MihomoManager::runShellSync("/usr/bin/printf", {"ok\\377"}), "");
  EXPECT_EQ(MihomoManager::runShellSync("/usr/bin/printf", {"\\320\\257"}), "Я");
}

TEST(CommandRunnerTest, AChattyCommandDoesNotBlockOnAFullPipe) {
  const auto out = MihomoManager::runShellSync("/usr/bin/head", {"-c", "4000000", "/dev/zero"});
  EXPECT_EQ(out.size(), 4000000u);
}

TEST(CommandRunnerTest, AProgramThatCannotStartThrows) {
  EXPECT_THROW(MihomoManager::runShellSync("/nonexistent/tool", {}), std::system_error);
  EXPECT_THROW(MihomoManager::runShellSync("/etc/hostname", {}), std::system_error);
}

TEST(InterfaceInventoryTest, OnlyNamesBeginningWithUtun) {
  HELPER_REQUIRE_PRIVATE_NETNS();
  auto ip = [](std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/ip");
    const auto r = runCommand(args);
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  };
  ip({"tuntap", "add", "dev", "utun0", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun1", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utun10", "mode", "tun"});
  ip({"tuntap", "add", "dev", "xutun0", "mode", "tap"});
  ip({"tuntap", "add", "dev", "UTUN5", "mode", "tun"});
  ip({"tuntap", "add", "dev", "utunnel", "mode", "tap"});
  EXPECT_THAT(MihomoManager::listUtunInterfaces(),
              ::testing::ElementsAre("utun0", "utun1", "utun10", "utunnel"));
  for (const char* name : {"utun0", "utun1", "utun10", "xutun0", "UTUN5", "utunnel"}) ip({"link", "del", name});
  EXPECT_TRUE(MihomoManager::listUtunInterfaces().empty());
}

}  // namespace
}  // namespace helper::test
