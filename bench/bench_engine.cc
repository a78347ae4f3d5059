// The engine supervisor's costs: listing the interfaces (against running
// `ip -o link show` through the command runner, the way the interfaces would
// be read from a tool); the activation overhead, the time
// from the engine creating its device to start() returning; and stop() of
// an engine that exits on SIGTERM. The last two against the same supervisor
// on a system without link announcements whose engine handle is polled
// every 0.1 s (the plain waits), interleaved run by run.
//
// Needs root and /dev/net/tun: the program moves itself into a private
// network namespace first. Run: build/plain/bench/bench_engine
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "bench/support/bench_env.h"
#include "helper/engine/engine_paths.h"
#include "helper/engine/mihomo_manager.h"
#include "platform/paths/paths.h"
#include "platform/os/os.h"
#include "tests/support/netns.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"

namespace helper {
namespace {

void BM_ListInterfaces(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(os().interfaceNames());
}
BENCHMARK(BM_ListInterfaces);

void BM_IpLinkShowThroughRunner(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(os().runCommand("/usr/sbin/ip", {"-o", "link", "show"}, std::nullopt));
}
BENCHMARK(BM_IpLinkShowThroughRunner);

double monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The real system, minus link announcements, with engines whose end is
// found by polling every 0.1 s instead of on their pidfd.
class PollingChild : public ChildProcess {
 public:
  explicit PollingChild(std::unique_ptr<ChildProcess> child) : child_(std::move(child)) {}
  pid_t pid() const override { return child_->pid(); }
  bool isRunning() override { return child_->isRunning(); }
  int terminationStatus() const override { return child_->terminationStatus(); }
  bool sendSignal(int signal) override { return child_->sendSignal(signal); }
  bool waitForExit(double timeoutSeconds) override {
    const double until = monotonic() + timeoutSeconds;
    while (child_->isRunning()) {
      if (monotonic() >= until) return false;
      usleep(100'000);
    }
    return true;
  }

 private:
  std::unique_ptr<ChildProcess> child_;
};

// The real system, minus link announcements, with engines whose end is
// polled; the log kept quiet (its lines would drown the figures).
class PollingOs : public Os {
 public:
  bool polling = false;
  std::string own;
  Result<std::unique_ptr<ChildProcess>> spawn(const SpawnRequest& request) override {
    Result<std::unique_ptr<ChildProcess>> child = Os::spawn(request);
    if (!polling || !child) return child;
    return std::unique_ptr<ChildProcess>(std::make_unique<PollingChild>(std::move(*child)));
  }
  std::unique_ptr<LinkMonitor> openLinkMonitor() override { return polling ? nullptr : Os::openLinkMonitor(); }
  std::string ownExecutablePath() override { return own; }
  void log(const LogRecord&) override {}
};

struct Timings {
  std::vector<double> activation, stop;
};

void report(const char* what, std::vector<double> polled, std::vector<double> built) {
  auto median = [](std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  };
  const double p = median(polled), b = median(built);
  std::printf("%s, %zu runs each:\n  polled   min %8.2f ms, median %8.2f ms, max %8.2f ms\n"
              "  as built min %8.2f ms, median %8.2f ms, max %8.2f ms   ratio %.4fx\n",
              what, built.size(), polled.front(), p, polled.back(), built.front(), b, built.back(), b / p);
}

// Twenty activations with an engine that creates its device at once, for
// each supervisor in turn.
void activationOverhead() {
  const std::string root = paths::helperRoot();
  const std::string bin = root + "/bin";
  std::filesystem::create_directories(bin);
  const std::string engine = bin + "/" + kEngineFileName;
  std::filesystem::copy_file(bench::buildDir() + "/tests/engine/test_engine", engine,
                             std::filesystem::copy_options::overwrite_existing);
  chmod(engine.c_str(), 0755);
  std::ofstream(engine + ".knobs") << "stamp=1\n";

  // The engine beside the helper's own file; this program is signed like
  // the helper, so the engine check passes.
  PollingOs system;
  system.own = bin + "/helper";
  OsScope scope(system);
  MihomoManager manager;
  const ProxyConfig upstream{"192.0.2.1", 1080, {}, {}, ProxyKind::socks5};
  Timings builtTimes, polledTimes;
  auto measure = [&](bool polling, Timings& times) {
    system.polling = polling;
    const std::string stampFile = paths::rooted(kEngineDataDir) + "/tun-created";
    std::filesystem::remove(stampFile);
    if (const Status started = manager.start(upstream); !started) {
      std::fprintf(stderr, "%s\n", started.error().message.c_str());
      std::exit(1);
    }
    const double returned = monotonic();
    // The engine writes the stamp just after creating the device, so start()
    // may return first.
    std::string name;
    double created = 0;
    for (int wait = 0; wait < 1000 && name.empty(); ++wait) {
      std::ifstream stamp(stampFile);
      if (!(stamp >> name >> created)) {
        name.clear();
        usleep(1000);
      }
    }
    times.activation.push_back((returned - created) * 1000);
    const double stopping = monotonic();
    manager.stop();
    times.stop.push_back((monotonic() - stopping) * 1000);
  };
  for (int i = 0; i < 20; ++i) {
    measure(true, polledTimes);
    measure(false, builtTimes);
  }
  report("activation overhead (device created -> start() returned)", polledTimes.activation,
         builtTimes.activation);
  // Including the route cleanup commands and the orphan sweep with its
  // fixed 0.2 s pause.
  report("stop() of an engine that exits on SIGTERM", polledTimes.stop, builtTimes.stop);
}

}  // namespace
}  // namespace helper

int main(int argc, char** argv) {
  const std::string error = helper::test::enterPrivateNetworkNamespace();
  if (!error.empty()) {
    std::fprintf(stderr, "bench_engine needs root and a private network namespace: %s\n", error.c_str());
    return 1;
  }
  // Engines are launched only from where only root can change them.
  std::string tmpl = helper::test::tempBase() + "/bench-engine-XXXXXX";
  if (!mkdtemp(tmpl.data())) return 1;
  chmod(tmpl.c_str(), 0755);
  setenv("HELPER_ROOT", tmpl.c_str(), 1);
  // A few devices of other tunnel clients, as on a real machine.
  for (const char* dev : {"utun0", "utun1", "utun7"}) {
    helper::test::runCommand({"/usr/sbin/ip", "tuntap", "add", "dev", dev, "mode", "tun"});
  }
  benchmark::Initialize(&argc, argv);
  helper::bench::RatioReporter reporter;
  reporter.compare("BM_ListInterfaces", "BM_IpLinkShowThroughRunner");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  helper::activationOverhead();
  std::filesystem::remove_all(tmpl);
  return 0;
}
