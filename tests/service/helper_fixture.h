// The real helper executable in the test's private network namespace under
// its HELPER_ROOT, with the signed stand-in engine beside it, its log in a
// file; clients connect to it as they would to the installed one.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "helper/protocol/helper_constants.h"
#include "platform/process/child_process.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/local_user.h"
#include "tools/client/helper_client.h"

namespace helper::test {

using Clock = std::chrono::steady_clock;

class HelperFixture : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();  // the engine beside where the helper goes
    if (IsSkipped() || HasFailure()) return;
    makeCopy(builtProgram("helper/front/helper"), helperPath(), "tarn.CorvalethApp.helper");
    startHelper();
  }
  void TearDown() override {
    stopHelper();
    for (const pid_t engine : runningEngines()) kill(engine, SIGKILL);  // left by a failed test
    EngineFixture::TearDown();
  }

  static void makeCopy(const std::string& source, const std::string& dest, const std::string& identifier) {
    installSigned(source, dest, identifier);
  }
  // The helper, its stderr in a file; `prefix` runs it (setpriv ... --).
  void startHelper(std::vector<std::string> prefix = {}) {
    stopHelper();
    const int fd = open(tmp_.file("helper.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    prefix.push_back(helperPath());
    helper_ = startProgram({prefix[0], {prefix.begin() + 1, prefix.end()}, -1, fd});
    close(fd);
    ASSERT_TRUE(waitForLine("helper listening on")) << "the helper did not start listening";
  }
  void stopHelper() {
    if (helper_ && helper_->sendSignal(SIGKILL)) helper_->waitForExit(10);
  }
  // Its whole log lines so far.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(readFile(tmp_.file("helper.log")));
    for (std::string line; std::getline(in, line) && !in.eof();) out.push_back(line);
    return out;
  }
  // The `count`th line containing `text`, once there within `seconds`.
  std::optional<std::string> waitForLine(const std::string& text, double seconds = 10, size_t count = 1) const {
    for (const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);;) {
      size_t seen = 0;
      for (const auto& line : lines()) {
        if (line.find(text) != std::string::npos && ++seen == count) return line;
      }
      if (Clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string helperPath() const { return tmp_.file("bin/helper"); }
  // Pids of running engines started from this test's engine path.
  std::vector<pid_t> runningEngines() const {
    std::vector<pid_t> out;
    std::istringstream pids(runCommand({"/usr/bin/pgrep", "-f", "^" + enginePath_ + "( |$)"}).out);
    for (pid_t pid; pids >> pid;) out.push_back(pid);
    return out;
  }

  static std::unique_ptr<HelperClient> client() { return HelperClient::connect(); }
  // The token of a successful activate, or "" (with a failure recorded).
  static std::string activate(HelperClient& c) {
    const ActivateResult r = c.activate("socks5://192.0.2.10:1080", 4242);
    EXPECT_TRUE(r.success) << r.message.value_or("");
    return r.token.value_or("");
  }

  std::unique_ptr<ChildProcess> helper_;
};

}  // namespace helper::test
