// Round trips of ping and status against the real helper executable, taken
// in turn with round trips to a bare SOCK_SEQPACKET echo server, so both see
// the same load (goal: median at most 1.5x the bare echo); then the
// helper's resident memory when idle (goal: under 8 MiB).
//
// Everything runs on one CPU: on a virtual machine, waking a thread on an
// idle second CPU costs tens of microseconds of hypervisor latency that has
// nothing to do with either server. The helper serves only signed clients,
// so the program re-executes itself from a copy signed with a key made for
// the run, after signing a copy of the helper (run under HELPER_ROOT).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/support/bench_env.h"
#include "helper/protocol/helper_constants.h"
#include "platform/codesign/code_file.h"
#include "platform/codesign/signing_key.h"
#include "platform/ipc/packet_socket.h"
#include "platform/process/child_process.h"
#include "tests/support/run_command.h"
#include "tests/support/test_env.h"
#include "tools/client/helper_client.h"

namespace {

using namespace helper;
using Clock = std::chrono::steady_clock;

constexpr const char* kDirEnv = "HELPER_BENCH_SERVICE_DIR";
std::string workDir;
pid_t helperPid = 0;

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "bench_service: %s\n", text.c_str());
  std::exit(1);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_RoundTrips(benchmark::State& state) {
  auto connected = ipc::connectSocket(workDir + "/echo.sock");
  if (!connected) die(connected.error().message);
  ipc::UniqueFd echo = std::move(*connected);
  HelperClient::Options o;
  o.socketPath = workDir + "/root" + kControlSocketPath;
  o.requireRootServer = false;
  auto helper = HelperClient::connect(o);
  ControlRequest ping;
  const std::string packet = encodeRequest(ping, "00112233445566778899aabbccddeeff");
  std::vector<double> runs[3];  // echo, ping, status; microseconds
  auto time = [](std::vector<double>& run, auto&& roundTrip) {
    const auto t0 = Clock::now();
    roundTrip();
    run.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  };
  for (auto _ : state) {
    time(runs[0], [&] {
      if (!ipc::sendPacket(echo.get(), packet, 5) || ipc::receivePacket(echo.get(), 65536, 5).data != packet) {
        die("echo failed");
      }
    });
    time(runs[1], [&] { benchmark::DoNotOptimize(helper->ping()); });
    time(runs[2], [&] { benchmark::DoNotOptimize(helper->status()); });
  }
  const char* names[] = {"echo", "ping", "status"};
  for (int i = 0; i < 3; ++i) {
    for (const double p : {0.5, 0.99}) {
      const std::string suffix = p == 0.5 ? "_p50" : "_p99";
      state.counters[names[i] + suffix + "_us"] = percentile(runs[i], p);
      if (i > 0) state.counters[names[i] + suffix + "_ratio"] = percentile(runs[i], p) / percentile(runs[0], p);
    }
  }
}
BENCHMARK(BM_RoundTrips)->UseRealTime()->MinTime(5);

// After serving: the service exists, its connections are closed.
void BM_HelperIdleMemory(benchmark::State& state) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (auto _ : state) {
    std::ifstream rollup("/proc/" + std::to_string(helperPid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
      for (const char* field : {"Rss", "Pss", "Anonymous"}) {
        if (line.rfind(std::string(field) + ":", 0) == 0) {
          state.counters[std::string(field) + "_MiB"] = std::stod(line.substr(std::strlen(field) + 1)) / 1024.0;
        }
      }
    }
  }
}
BENCHMARK(BM_HelperIdleMemory)->Iterations(1);

// In the signed copy: starts the echo server and the helper, measures, and
// ends both by the ids started here.
int measure(int argc, char** argv) {
  workDir = std::getenv(kDirEnv);
  auto bound = ipc::bindListeningSocket(workDir + "/echo.sock");
  if (!bound) die(bound.error().message);
  ipc::UniqueFd listening = std::move(*bound);
  const pid_t echo = fork();
  if (echo == 0) {
    for (char buf[65536];;) {
      const ipc::UniqueFd fd(accept(listening.get(), nullptr, nullptr));
      for (ssize_t n; (n = recv(fd.get(), buf, sizeof(buf), 0)) > 0;) send(fd.get(), buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    }
  }
  setenv("HELPER_ROOT", (workDir + "/root").c_str(), 1);
  const ipc::UniqueFd devnull(open("/dev/null", O_WRONLY | O_CLOEXEC));
  auto helper = test::startProgram({workDir + "/helper", {}, -1, devnull.get()});
  helperPid = helper->pid();
  for (int i = 0; i < 500 && access((workDir + "/root" + kControlSocketPath).c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("goals: ping and status p50_ratio at most 1.5; helper Rss under 8 MiB when idle\n");
  helper->sendSignal(SIGTERM);
  helper->waitForExit(5);
  kill(echo, SIGKILL);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kDirEnv) != nullptr) return measure(argc, argv);
  cpu_set_t allowed, one;
  CPU_ZERO(&one);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    int cpu = CPU_SETSIZE - 1;
    while (cpu > 0 && !CPU_ISSET(cpu, &allowed)) --cpu;
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof(one), &one);  // inherited by every process started below
    std::printf("running on CPU %d only\n", cpu);
    std::fflush(stdout);  // before the measuring copy writes
  }
  const test::TempDir dir;
  const auto key = codesign::SigningKey::generate();
  if (!key) die(key.error().message);
  for (const auto& [from, to, identifier] : {std::tuple{bench::buildDir() + "/helper/front/helper", "/helper", "tarn.CorvalethApp.helper"},
                                            std::tuple{std::string("/proc/self/exe"), "/bench_service", "tarn.CorvalethApp"}}) {
    std::filesystem::copy_file(from, dir.path() + to);
    std::filesystem::permissions(dir.path() + to, std::filesystem::perms::owner_all);
    const auto r = codesign::signFile(dir.path() + to, identifier, &*key);
    if (!r) die(r.error().message);
  }
  setenv(kDirEnv, dir.path().c_str(), 1);
  std::vector<std::string> args(argv + 1, argv + argc);
  auto measuring = test::startProgram({dir.path() + "/bench_service", args});
  measuring->waitForExit(-1);
  return measuring->terminationStatus();
}
