// Code-signing costs, each against a baseline measured in the same run:
//  - checking the signature of a 35 MB file, against `sha256sum` of it
//    (goal: at most 1.2x);
//  - validating a peer whose executable is 5 MB, end to end (pin, open,
//    hash and verify the peer's image and the helper's own), against
//    `sha256sum` of the peer's file (goal: under 10 ms).
// The program re-executes itself from a copy signed with a key made for the
// run, so that "the helper's own image" is a real signed one; the peer is
// another copy, padded to 5 MB and signed with the same key.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/support/bench_env.h"
#include "helper/codesign/code_sign_validator.h"
#include "platform/codesign/code_file.h"
#include "platform/log/logger.h"
#include "tests/support/run_command.h"

namespace {

using namespace helper;

constexpr const char* kSignedEnv = "HELPER_BENCH_CODESIGN_DIR";
constexpr const char* kBuildEnv = "HELPER_BENCH_BUILD_DIR";
constexpr std::size_t kBigFile = 35u << 20;
constexpr std::size_t kPeerFile = 5u << 20;

std::string workDir;   // set in the signed copy
std::string buildDir;  // of the original program, not of the signed copy

class NullSink : public LogSink {
 public:
  void write(const LogRecord&) override {}
};

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "bench_codesign: %s\n", text.c_str());
  std::exit(1);
}

void sign(const std::string& path, const std::string& identifier, const codesign::SigningKey& key) {
  const auto r = codesign::signFile(path, identifier, &key);
  if (!r.error.empty()) die(r.error);
}

// Appends zero bytes so that the file, once signed, is `total` bytes long.
void padTo(const std::string& path, std::size_t total, std::size_t trailer) {
  const auto size = std::filesystem::file_size(path);
  if (size + trailer < total) std::filesystem::resize_file(path, total - trailer);
}

void runSha256sum(const std::string& path) {
  const auto r = test::runCommand({"/usr/bin/sha256sum", path});
  if (r.exitStatus != 0) die("sha256sum failed: " + r.err);
}

void BM_Sha256sum35MB(benchmark::State& state) {
  for (auto _ : state) runSha256sum(workDir + "/big");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_Verify35MB(benchmark::State& state) {
  for (auto _ : state) {
    const auto e = codesign::evaluateFile(workDir + "/big");
    if (e.status != codesign::kStatusOK) state.SkipWithError(e.detail.c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigFile));
}

void BM_VerifyTool35MB(benchmark::State& state) {
  const std::string tool = buildDir + "/tools/helper-codesign/helper-codesign";
  if (::access(tool.c_str(), X_OK) != 0) {
    state.SkipWithError("helper-codesign is not built");
    return;
  }
  for (auto _ : state) {
    if (test::runCommand({tool, "verify", workDir + "/big"}).exitStatus != 0) {
      state.SkipWithError("verify failed");
    }
  }
}

void BM_Sha256sum5MB(benchmark::State& state) {
  for (auto _ : state) runSha256sum(workDir + "/peer");
}

void BM_ValidatePeer5MB(benchmark::State& state) {
  // The peer runs until its stdin closes.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) die("pipe2");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], STDIN_FILENO);
    const std::string peer = workDir + "/peer";
    ::execl(peer.c_str(), peer.c_str(), "--peer", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[0]);
  auto process = PeerProcess::fromPid(pid);
  if (!process) die("pidfd_open failed");
  // Wait until the child runs the peer image, not this program.
  for (int i = 0; i < 1000; ++i) {
    if (codesign::evaluateFile("/proc/" + std::to_string(pid) + "/exe").identifier() ==
        std::optional<std::string>("tarn.CorvalethApp")) {
      break;
    }
    ::usleep(1000);
  }
  setLogSink(std::make_shared<NullSink>());
  for (auto _ : state) {
    if (!CodeSignValidator::validate(*process)) state.SkipWithError("the peer was refused");
  }
  setLogSink(nullptr);
  state.counters["peer_MB"] = static_cast<double>(std::filesystem::file_size(workDir + "/peer")) / (1 << 20);
  state.counters["own_MB"] =
      static_cast<double>(std::filesystem::file_size("/proc/self/exe")) / (1 << 20);
  ::close(fds[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// First run: make the key, the signed copies and the 35 MB file, then run
// the signed copy of this program in our place.
[[noreturn]] void prepareAndReexec(char** argv) {
  char tmpl[] = "/tmp/bench-codesign-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
  workDir = tmpl;
  std::string error;
  const auto key = codesign::SigningKey::generate(&error);
  if (!key) die(error);
  const std::string saved = codesign::saveKeyFile(workDir + "/team.key", key->toPem(), false);
  if (!saved.empty()) die(saved);

  const std::string self = workDir + "/bench_codesign";
  std::filesystem::copy_file("/proc/self/exe", self);
  ::chmod(self.c_str(), 0755);
  sign(self, "tarn.CorvalethApp.helper", *key);

  const std::string peer = workDir + "/peer";
  std::filesystem::copy_file("/proc/self/exe", peer);
  ::chmod(peer.c_str(), 0755);
  padTo(peer, kPeerFile, codesign::trailerLength(codesign::SignatureKind::ed25519, 17));
  sign(peer, "tarn.CorvalethApp", *key);

  {
    std::ofstream big(workDir + "/big", std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::uint64_t x = 88172645463325252ull;
    for (std::size_t done = 0; done + chunk.size() <= kBigFile; done += chunk.size()) {
      for (auto& c : chunk) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        c = static_cast<char>(x);
      }
      big.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
  }
  padTo(workDir + "/big", kBigFile, 0);
  sign(workDir + "/big", "big.file", *key);

  ::setenv(kSignedEnv, workDir.c_str(), 1);
  ::setenv(kBuildEnv, bench::buildDir().c_str(), 1);
  ::execv(self.c_str(), argv);
  die(std::string("cannot run the signed copy: ") + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--peer") == 0) {
    char buf[256];
    while (::read(STDIN_FILENO, buf, sizeof buf) > 0) {
    }
    return 0;
  }
  const char* dir = std::getenv(kSignedEnv);
  if (dir == nullptr) prepareAndReexec(argv);
  workDir = dir;
  buildDir = std::getenv(kBuildEnv) ? std::getenv(kBuildEnv) : "";
  ::unsetenv(kSignedEnv);
  ::unsetenv(kBuildEnv);

  benchmark::RegisterBenchmark("BM_Sha256sum35MB", BM_Sha256sum35MB)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  benchmark::RegisterBenchmark("BM_Verify35MB", BM_Verify35MB)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  benchmark::RegisterBenchmark("BM_VerifyTool35MB", BM_VerifyTool35MB)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  benchmark::RegisterBenchmark("BM_Sha256sum5MB", BM_Sha256sum5MB)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  benchmark::RegisterBenchmark("BM_ValidatePeer5MB", BM_ValidatePeer5MB)
      ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  reporter.compare("BM_Verify35MB", "BM_Sha256sum35MB");
  reporter.compare("BM_VerifyTool35MB", "BM_Sha256sum35MB");
  reporter.compare("BM_ValidatePeer5MB", "BM_Sha256sum5MB");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(workDir, ignored);
  return 0;
}
