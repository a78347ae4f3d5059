// The engine supervisor's costs: listing the utun interfaces (against
// running `ip -o link show` through the command runner, the way the
// interfaces would be read from a tool), and the activation overhead, the
// time from the engine creating its device to start() returning.
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
#include "platform/log/logger.h"
#include "platform/paths/paths.h"
#include "tests/support/netns.h"
#include "tests/support/run_command.h"

namespace helper {
namespace {

void BM_ListUtunInterfaces(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(MihomoManager::listUtunInterfaces());
}
BENCHMARK(BM_ListUtunInterfaces);

void BM_IpLinkShowThroughRunner(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(MihomoManager::runShellSync("/usr/sbin/ip", {"-o", "link", "show"}));
}
BENCHMARK(BM_IpLinkShowThroughRunner);

double monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Twenty activations with an engine that creates its device at once.
void activationOverhead() {
  const std::string root = paths::helperRoot();
  const std::string bin = root + "/bin";
  std::filesystem::create_directories(bin);
  const std::string engine = bin + "/" + kEngineFileName;
  std::filesystem::copy_file(bench::buildDir() + "/tests/engine/test_engine", engine,
                             std::filesystem::copy_options::overwrite_existing);
  chmod(engine.c_str(), 0755);
  std::ofstream(engine + ".knobs") << "stamp=1\n";

  MihomoManager::Options options;
  options.enginePath = engine;
  options.checkSignature = [](const std::string&) {};  // measured on its own in bench_codesign
  MihomoManager manager(options);
  const ProxyConfig upstream{"192.0.2.1", 1080, {}, {}, ProxyKind::socks5};
  std::vector<double> ms, stops;
  for (int i = 0; i < 20; ++i) {
    const std::string stampFile = paths::rooted(kEngineDataDir) + "/tun-created";
    std::filesystem::remove(stampFile);
    manager.start(upstream);
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
    ms.push_back((returned - created) * 1000);
    const double stopping = monotonic();
    manager.stop();
    stops.push_back((monotonic() - stopping) * 1000);
  }
  auto report = [](const char* what, std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    std::printf("%s, 20 runs: min %.2f ms, median %.2f ms, max %.2f ms\n", what, v.front(), (v[9] + v[10]) / 2,
                v.back());
  };
  report("activation overhead (device created -> start() returned)", ms);
  // stop() of an engine that exits on SIGTERM, including the route cleanup
  // commands and the orphan sweep with its fixed 0.2 s pause.
  report("stop() of an engine that exits on SIGTERM", stops);
}

}  // namespace
}  // namespace helper

int main(int argc, char** argv) {
  const std::string error = helper::test::enterPrivateNetworkNamespace();
  if (!error.empty()) {
    std::fprintf(stderr, "bench_engine needs root and a private network namespace: %s\n", error.c_str());
    return 1;
  }
  char tmpl[] = "/tmp/bench-engine-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  setenv("HELPER_ROOT", tmpl, 1);
  // A few devices of other tunnel clients, as on a real machine.
  for (const char* dev : {"utun0", "utun1", "utun7"}) {
    helper::test::runCommand({"/usr/sbin/ip", "tuntap", "add", "dev", dev, "mode", "tun"});
  }
  // The supervisor's log lines would drown the figures.
  helper::setLogSink(std::make_shared<helper::MemoryLogSink>());
  benchmark::Initialize(&argc, argv);
  helper::bench::RatioReporter reporter;
  reporter.compare("BM_ListUtunInterfaces", "BM_IpLinkShowThroughRunner");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  helper::activationOverhead();
  std::filesystem::remove_all(tmpl);
  return 0;
}
