// A per-test engine: a signed copy of the test engine at a path of its own
// beside the helper's own file as os() tells it (the orphan sweep matches
// the file, so tests never see each other's engines), its knobs, and a
// manager with short timings.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "helper/engine/engine_paths.h"
#include "helper/engine/mihomo_manager.h"
#include "platform/paths/paths.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"
#include "tests/support/test_os.h"

namespace helper::test {

inline MihomoTimings fastTimings() {
  MihomoTimings t;
  t.tunWaitLimit = 3;
  t.tunPollInterval = 0.05;
  t.progressInterval = 1;
  t.terminateGrace = 1;
  t.killGrace = 0.5;
  t.sweepPause = 0.02;
  return t;
}

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    HELPER_REQUIRE_PRIVATE_NETNS();
    // Each test starts from an empty HELPER_ROOT.
    for (const auto& entry : std::filesystem::directory_iterator(paths::helperRoot())) {
      std::filesystem::remove_all(entry.path());
    }
    std::filesystem::create_directories(tmp_.file("bin"));
    enginePath_ = tmp_.file("bin/") + kEngineFileName;
    std::filesystem::copy_file(builtProgram("tests/engine/test_engine"), enginePath_);
    chmod(enginePath_.c_str(), 0755);
    os_.own = tmp_.file("bin/helper");
    scope_ = std::make_unique<OsScope>(os_);
  }
  void TearDown() override {
    if (manager_) manager_->stop();
    scope_.reset();
  }

  void setKnobs(const std::map<std::string, std::string>& knobs) {
    std::string text;
    for (const auto& [k, v] : knobs) text += k + "=" + v + "\n";
    writeFile(enginePath_ + ".knobs", text);
  }
  MihomoManager& manager(MihomoTimings timings = fastTimings()) {
    manager_ = std::make_unique<MihomoManager>(timings);
    return *manager_;
  }
  std::vector<std::string> mihomoLines() const { return os_.messages("Mihomo"); }

  // start() returns as soon as the engine's device exists, which can be
  // before the engine has done what it does next (routes, files).
  static bool eventually(const std::function<bool()>& condition, double seconds = 3) {
    for (int i = 0; i < seconds * 100 && !condition(); ++i) usleep(10000);
    return condition();
  }
  // The half-range routes the stand-in engine adds through its device.
  static bool hasRoutes(const std::string& dev) {
    return eventually([&] { return ip({"route", "show", "dev", dev}).find("128.0.0.0/1") != std::string::npos; });
  }
  static ProxyConfig upstream() { return ProxyConfig{"192.0.2.10", 1080, "u", "p", ProxyKind::socks5}; }
  static std::string ip(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/sbin/ip");
    return runCommand(args).out;
  }

  // The real system, with the helper's own file in the test's folder (so
  // the engine is the one beside it), the log in memory and the process
  // exit recorded.
  struct EngineOs : LoggingOs {
    std::string own;
    std::string ownExecutablePath() override { return own; }
  };

  TempDir tmp_;
  std::string enginePath_;
  EngineOs os_;
  std::unique_ptr<OsScope> scope_;
  std::unique_ptr<MihomoManager> manager_;
};

}  // namespace helper::test
