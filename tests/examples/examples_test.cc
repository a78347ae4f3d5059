// The worked examples of docs/integrating.md against the real helper, each
// installed as an application would be: a signed copy in a folder only root
// can change. The C++ example uses the client library; the Python example
// speaks the protocol through its launcher. (That the helper serves no
// unsigned client is the service and end-to-end tests' to show.)
#include <gmock/gmock.h>
#include <sys/stat.h>

#include "tests/service/helper_fixture.h"

namespace helper::test {
namespace {

constexpr const char* kURL = "socks5://192.0.2.10:1080\n";
// What both examples print between the greeting and the end of a session.
constexpr const char* kSession =
    "activated\nheartbeat 1: accepted\nheartbeat 2: accepted\nheartbeat 3: accepted\n"
    "status: active yes, upstream 192.0.2.10\ndeactivated\n";

class ExamplesTest : public HelperFixture {
 protected:
  void SetUp() override {
    HelperFixture::SetUp();
    if (IsSkipped() || HasFailure()) return;
    std::filesystem::create_directories(tmp_.file("app"));
    makeCopy(builtProgram("examples/cpp/example_cpp"), app("example"), "tarn.CorvalethApp");
    makeCopy(builtProgram("examples/launcher/example_launcher"), app("launcher"), "tarn.CorvalethApp");
    std::filesystem::copy_file(sourceDir() + "/examples/python/example.py", app("example.py"));
    chmod(app("example.py").c_str(), 0644);
  }
  std::string app(const std::string& name) const { return tmp_.file("app/" + name); }
};

TEST_F(ExamplesTest, EachExampleRunsASessionAndNamesTheCodeOfAFailure) {
  const std::pair<std::string, std::string> examples[] = {
      {"example", std::string("connected: protocol version 2\nping: helper 1.0.0\n") + kSession},
      {"launcher", std::string("greeted: protocol version 2\nping: helper 1.0.0\n"
                               "  (skipped a late reply to request 2, ping)\n"
                               "activate with a malformed URL: Невалидный proxy URL [helper.SessionError 1]\n"
                               "  the code says: ask the user for another URL\n") +
                       kSession},
  };
  for (const auto& [program, session] : examples) {
    const CommandResult ok = runCommand({app(program)}, kURL, 60);
    EXPECT_EQ(ok.exitStatus, 0) << ok.err;
    EXPECT_EQ(ok.out, session);
    EXPECT_EQ(ok.err, "") << program;
    EXPECT_TRUE(runningEngines().empty()) << program;
  }
  setKnobs({{"exit_status", "1"}});
  for (const auto& [program, session] : examples) {
    const CommandResult failed = runCommand({app(program)}, kURL, 60);
    EXPECT_EQ(failed.exitStatus, 1) << program;
    EXPECT_THAT(failed.out, ::testing::HasSubstr("\nactivate failed: mihomo не стартанул: mihomo exited (status 1)"))
        << program;
    EXPECT_THAT(failed.out, ::testing::EndsWith(" [helper.MihomoError 1]\n")) << program;
  }
}

}  // namespace
}  // namespace helper::test
