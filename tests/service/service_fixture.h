// The real helper executable under test: a signed copy started in the
// test's private network namespace under a HELPER_ROOT of its own, with the
// signed stand-in engine beside it, and probes (signed or not) that talk to
// it. Log lines are read from the helper's standard error.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"

namespace helper::test {

using SteadyTime = std::chrono::steady_clock::time_point;

// Copies `source` to `dest` (mode 0755); with an identifier, signs the copy
// with the test team key.
void makeCopy(const std::string& source, const std::string& dest, const std::string& identifier = "");

struct StderrLine {
  SteadyTime at;
  std::string text;  // "2026-…Z level Category: message", or a console line
};

// The helper as a child process in a process group of its own (its engine
// is in it too, so the group is ended together).
class HelperProcess {
 public:
  HelperProcess(const std::string& executable, const std::string& root);
  ~HelperProcess();

  pid_t pid() const { return pid_; }
  std::vector<StderrLine> lines() const;
  // Messages of one category ("Service: x" -> "x"), in order.
  std::vector<std::string> messages(const std::string& category) const;
  // Waits for a line containing `text`; its arrival, or nullopt.
  std::optional<SteadyTime> waitForLine(const std::string& text, double seconds = 10) const;
  // Waits until `count` lines contain `text`; false on time-out.
  bool waitForLines(const std::string& text, size_t count, double seconds = 10) const;
  // The exit status once it exited within `seconds` (128 + signal for a
  // signal), and when.
  std::optional<std::pair<int, SteadyTime>> waitForExit(double seconds);
  bool running();

 private:
  void readLoop(int fd);

  pid_t pid_ = -1;
  int stderrFd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<StderrLine> lines_;
  std::optional<std::pair<int, SteadyTime>> exit_;
};

// A probe process (tests/service/probe.cc) under HELPER_ROOT `root`.
class Probe {
 public:
  Probe(const std::string& executable, const std::string& root);
  ~Probe();
  pid_t pid() const { return pid_; }
  // Sends one command line, returns the answer line ("" after `seconds`).
  std::string command(const std::string& line, double seconds = 150);
  // "call ..." answers "ok <micros> <json>": the JSON part, or the answer.
  std::string call(const std::string& what, long* micros = nullptr);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts (or restarts) the helper and waits until it listens.
  void startHelper();
  HelperProcess& helper() { return *helper_; }
  std::unique_ptr<Probe> probe(bool signedCopy = true);
  // A connected signed probe.
  std::unique_ptr<Probe> connectedProbe();
  void setKnobs(const std::map<std::string, std::string>& knobs);
  std::string helperPath() const { return bin_ + "/helper"; }
  std::string enginePath() const { return bin_ + "/tarn.CorvalethApp.mihomo"; }
  const std::string& root() const { return root_; }
  // The token of a successful activate, or "" (with a failure recorded).
  std::string activate(Probe& p, const std::string& url = "socks5://192.0.2.10:1080", int pid = 4242);
  // Pids of running engines started from this test's engine path.
  std::vector<pid_t> runningEngines() const;

  TempDir tmp_;
  std::string bin_;
  std::string root_;
  std::unique_ptr<HelperProcess> helper_;
};

// The field of a JSON reply, as compact JSON text ("true", "\"x\"", "null").
std::string field(const std::string& json, const std::string& key);

}  // namespace helper::test
