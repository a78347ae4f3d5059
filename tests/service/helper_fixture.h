// The real helper executable in the test's private network namespace under
// its HELPER_ROOT, with the signed stand-in engine beside it, its log in a
// file; clients connect to it as they would to the installed one.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "helper/protocol/helper_constants.h"
#include "platform/ipc/packet_client.h"
#include "platform/process/child_process.h"
#include "tests/engine/engine_fixture.h"
#include "tools/client/helper_client.h"

namespace helper::test {

using Clock = std::chrono::steady_clock;

class HelperFixture : public EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();  // the engine beside where the helper goes
    if (IsSkipped() || HasFailure()) return;
    makeCopy(builtProgram("helper/front/helper"), helperPath(), "tarn.CorvalethApp.helper");
    makeCopy(builtProgram("tools/helperctl/helperctl"), tmp_.file("bin/helperctl"), "tarn.CorvalethApp");
    startHelper();
  }
  void TearDown() override {
    stopHelper();
    for (const pid_t engine : runningEngines()) kill(engine, SIGKILL);  // left by a failed test
    EngineFixture::TearDown();
  }

  static void makeCopy(const std::string& source, const std::string& dest, const std::string& identifier) {
    std::filesystem::copy_file(source, dest, std::filesystem::copy_options::overwrite_existing);
    const CommandResult r = runCommand({builtProgram("tools/helper-codesign/helper-codesign"), "sign", "--identifier",
                                        identifier, "--key", binaryDir() + "/keys/test-team.key", dest});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
  }
  // The helper, its stderr in a file; `prefix` runs it (setpriv ...).
  void startHelper(std::vector<std::string> prefix = {}) {
    stopHelper();
    const int fd = open(tmp_.file("helper.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    prefix.push_back(helperPath());
    helper_ = startProgram({prefix[0], std::vector<std::string>(prefix.begin() + 1, prefix.end()), -1, fd});
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
  // Messages of one category ("… Service: x" -> "x"), in order.
  std::vector<std::string> messages(const std::string& category) const {
    std::vector<std::string> out;
    for (const auto& line : lines()) {
      const auto at = line.find(" " + category + ": ");
      if (at != std::string::npos) out.push_back(line.substr(at + category.size() + 3));
    }
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
  static std::string socketPath() { return paths::rooted(kControlSocketPath); }
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
  static std::string activate(HelperClient& c, const std::string& url = "socks5://192.0.2.10:1080", int pid = 4242) {
    const ActivateResult r = c.activate(url, pid);
    EXPECT_TRUE(r.success) << r.message.value_or("");
    return r.token.value_or("");
  }
  static double pingMillis(HelperClient& c) {
    const auto t0 = Clock::now();
    EXPECT_EQ(c.ping(), "1.0.0");
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  }
  // helperctl, the signed copy unless another program is named.
  CommandResult ctl(std::vector<std::string> args, const std::string& program = "") {
    args.insert(args.begin(), program.empty() ? tmp_.file("bin/helperctl") : program);
    return runCommand(args, "", 120);
  }

  std::unique_ptr<ChildProcess> helper_;
};

}  // namespace helper::test
