// Round trips of the control interface against the real helper executable,
// each against a bare SOCK_SEQPACKET echo server measured in the same run
// (goal: ping and status at most 1.5x the bare echo, median), and the
// helper's resident memory when idle (goal: under 8 MiB).
//
// Everything runs on one CPU (the client, the echo server, the helper): on
// a virtual machine, waking a thread on an idle second CPU costs tens of
// microseconds of hypervisor latency that has nothing to do with either
// server, and swamps the difference between them.
//
// The helper serves only signed clients, so the program re-executes itself
// from a copy signed with a key made for the run, after starting a signed
// copy of the helper (under HELPER_ROOT in a temporary folder) to talk to.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_env.h"
#include "helper/front/control_message.h"
#include "helper/front/helper_constants.h"
#include "platform/codesign/code_file.h"
#include "platform/codesign/signing_key.h"
#include "platform/ipc/packet_socket.h"
#include "tools/client/helper_client.h"

extern char** environ;

namespace {

using namespace helper;
using Clock = std::chrono::steady_clock;

constexpr const char* kDirEnv = "HELPER_BENCH_SERVICE_DIR";
constexpr const char* kBuildEnv = "HELPER_BENCH_BUILD_DIR";

std::string workDir;
std::map<std::string, std::vector<double>> samples;  // microseconds, of the last run of each

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "bench_service: %s\n", text.c_str());
  std::exit(1);
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, int stderrFd = -1) {
  std::vector<std::string> envStorage;
  for (char** e = environ; *e; ++e) envStorage.emplace_back(*e);
  envStorage.insert(envStorage.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> env, argv;
  for (auto& s : envStorage) env.push_back(s.data());
  env.push_back(nullptr);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) die("cannot start " + args[0]);
  return pid;
}

void record(const std::string& name, std::vector<double>&& run) { samples[name] = std::move(run); }

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void addCounters(benchmark::State& state, const std::vector<double>& run) {
  state.counters["p50_us"] = percentile(run, 0.5);
  state.counters["p99_us"] = percentile(run, 0.99);
}

// The bare baseline: a child process that echoes every packet back.
pid_t echoServer(const std::string& path) {
  std::string error;
  ipc::UniqueFd listening = ipc::bindListeningSocket(path, &error);
  if (!listening.valid()) die(error);
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      const int fd = accept(listening.get(), nullptr, nullptr);
      if (fd < 0) continue;
      char buf[65536];
      for (;;) {
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
      close(fd);
    }
  }
  return child;
}

void BM_BareEcho(benchmark::State& state) {
  std::string error;
  ipc::UniqueFd fd = ipc::connectSocket(workDir + "/echo.sock", &error);
  if (!fd.valid()) die(error);
  ControlRequest r;
  r.op = ControlOperation::ping;
  r.id = 1;
  const std::string packet = encodeRequest(r, "00112233445566778899aabbccddeeff");
  std::vector<double> run;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (ipc::sendPacket(fd.get(), packet, 5) != 0) die("echo send failed");
    const auto reply = ipc::receivePacket(fd.get(), 65536, 5);
    if (reply.status != ipc::ReceivedPacket::Status::packet) die("echo receive failed");
    run.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  addCounters(state, run);
  record("BM_BareEcho", std::move(run));
}

std::unique_ptr<HelperClient> client() {
  HelperClient::Options o;
  o.socketPath = workDir + "/root" + kControlSocketPath;
  o.requireRootServer = false;
  return HelperClient::connect(o);
}

void BM_HelperPing(benchmark::State& state) {
  auto c = client();
  std::vector<double> run;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(c->ping());
    run.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  addCounters(state, run);
  record("BM_HelperPing", std::move(run));
}

void BM_HelperStatus(benchmark::State& state) {
  auto c = client();
  std::vector<double> run;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(c->status());
    run.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  addCounters(state, run);
  record("BM_HelperStatus", std::move(run));
}

// The three round trips taken in turn, so that the ratios hold even when
// the machine's load changes during the run.
void BM_Interleaved(benchmark::State& state) {
  std::string error;
  ipc::UniqueFd echo = ipc::connectSocket(workDir + "/echo.sock", &error);
  if (!echo.valid()) die(error);
  auto c = client();
  ControlRequest r;
  r.op = ControlOperation::ping;
  r.id = 1;
  const std::string packet = encodeRequest(r, "00112233445566778899aabbccddeeff");
  std::vector<double> echoRun, pingRun, statusRun;
  auto micros = [](Clock::time_point t0) { return std::chrono::duration<double, std::micro>(Clock::now() - t0).count(); };
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (ipc::sendPacket(echo.get(), packet, 5) != 0) die("echo send failed");
    if (ipc::receivePacket(echo.get(), 65536, 5).status != ipc::ReceivedPacket::Status::packet) die("echo receive failed");
    echoRun.push_back(micros(t0));
    t0 = Clock::now();
    benchmark::DoNotOptimize(c->ping());
    pingRun.push_back(micros(t0));
    t0 = Clock::now();
    benchmark::DoNotOptimize(c->status());
    statusRun.push_back(micros(t0));
  }
  state.counters["echo_p50_us"] = percentile(echoRun, 0.5);
  state.counters["ping_p50_us"] = percentile(pingRun, 0.5);
  state.counters["status_p50_us"] = percentile(statusRun, 0.5);
  record("echo (interleaved)", std::move(echoRun));
  record("ping (interleaved)", std::move(pingRun));
  record("status (interleaved)", std::move(statusRun));
}

BENCHMARK(BM_BareEcho)->UseRealTime()->MinTime(2);
BENCHMARK(BM_HelperPing)->UseRealTime()->MinTime(2);
BENCHMARK(BM_HelperStatus)->UseRealTime()->MinTime(2);
BENCHMARK(BM_Interleaved)->UseRealTime()->MinTime(3);

// A field of /proc/PID/smaps_rollup ("Rss", "Pss", "Anonymous") in MiB.
double memoryMiB(pid_t pid, const std::string& field) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return -1;
}

std::string memoryLine(pid_t pid) {
  char buf[160];
  std::snprintf(buf, sizeof(buf), "RSS %.2f MiB (PSS %.2f, private anonymous %.2f)", memoryMiB(pid, "Rss"),
                memoryMiB(pid, "Pss"), memoryMiB(pid, "Anonymous"));
  return buf;
}

// In the signed copy: start the helper and the echo server, measure, stop
// both (by the ids started here).
int measure(int argc, char** argv) {
  workDir = std::getenv(kDirEnv);
  const std::string root = workDir + "/root";
  const std::string socket = root + kControlSocketPath;
  const pid_t echo = echoServer(workDir + "/echo.sock");
  const int devnull = open("/dev/null", O_WRONLY);
  const pid_t helperPid = spawn({workDir + "/helper"}, {"HELPER_ROOT=" + root}, devnull);
  for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string fresh = memoryLine(helperPid);

  bench::RatioReporter reporter;
  reporter.compare("BM_HelperPing", "BM_BareEcho");
  reporter.compare("BM_HelperStatus", "BM_BareEcho");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  // Idle again: the service exists now, its connections are closed.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string idle = memoryLine(helperPid);

  std::printf("\n%-22s %10s %10s %14s %10s\n", "round trip", "median µs", "p99 µs", "median ratio", "p99 ratio");
  const auto row = [](const std::string& name, const std::string& baseline) {
    const auto& run = samples[name];
    const auto& base = samples[baseline];
    std::printf("%-22s %10.1f %10.1f %13.2fx %9.2fx\n", name.c_str(), percentile(run, 0.5), percentile(run, 0.99),
                percentile(run, 0.5) / percentile(base, 0.5), percentile(run, 0.99) / percentile(base, 0.99));
  };
  row("BM_BareEcho", "BM_BareEcho");
  row("BM_HelperPing", "BM_BareEcho");
  row("BM_HelperStatus", "BM_BareEcho");
  row("echo (interleaved)", "echo (interleaved)");
  row("ping (interleaved)", "echo (interleaved)");
  row("status (interleaved)", "echo (interleaved)");
  std::printf("goal: ping and status median at most 1.5x the bare echo\n");
  std::printf("helper memory at start:              %s\n", fresh.c_str());
  std::printf("helper memory idle after serving:    %s\n", idle.c_str());
  std::printf("goal: resident memory under 8 MiB when idle\n");
  kill(helperPid, SIGTERM);
  kill(echo, SIGKILL);
  waitpid(helperPid, nullptr, 0);
  waitpid(echo, nullptr, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kDirEnv) != nullptr) return measure(argc, argv);

  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
      if (!CPU_ISSET(cpu, &allowed)) continue;
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      sched_setaffinity(0, sizeof(one), &one);  // inherited by every process started below
      std::printf("running on CPU %d only\n", cpu);
      break;
    }
  }
  const std::string build = bench::buildDir();
  char tmpl[] = "/tmp/bench-service-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
  const std::string dir = tmpl;
  std::string error;
  const auto key = codesign::SigningKey::generate(&error);
  if (!key) die(error);
  auto signedCopy = [&](const std::string& from, const std::string& to, const char* identifier) {
    std::filesystem::copy_file(from, to);
    chmod(to.c_str(), 0755);
    const auto r = codesign::signFile(to, identifier, &*key);
    if (!r.error.empty()) die(r.error);
  };
  signedCopy(build + "/helper/front/helper", dir + "/helper", "tarn.CorvalethApp.helper");
  signedCopy("/proc/self/exe", dir + "/bench_service", "tarn.CorvalethApp");

  std::vector<std::string> args{dir + "/bench_service"};
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const pid_t child = spawn(args, {std::string(kDirEnv) + "=" + dir, std::string(kBuildEnv) + "=" + build});
  int status = 0;
  waitpid(child, &status, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
