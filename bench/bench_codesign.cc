// Code-signing costs, each against a baseline measured in the same run:
//  - checking the signature of a 35 MB file, against `sha256sum` of it
//    (goal: at most 1.2x);
//  - validating a peer whose executable is 5 MB (pin, open, hash and verify
//    its image), against `sha256sum` of the peer's file (goal: under 10 ms);
//    once as the helper does it, with its own image read once per process,
//    and once reading the own image again for every peer.
// The program re-executes itself from a copy signed with a key made for the
// run and padded to 14 MB like the helper, so that "the helper's own image"
// is a real signed one of the helper's size.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench/support/bench_env.h"
#include "helper/codesign/code_sign_validator.h"
#include "platform/codesign/code_file.h"
#include "platform/process/child_process.h"
#include "tests/support/run_command.h"

namespace {

using namespace helper;
namespace fs = std::filesystem;

constexpr const char* kDirEnv = "HELPER_BENCH_CODESIGN_DIR";
std::string dir;  // the signed copy of this program, the peer and the big file

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "bench_codesign: %s\n", text.c_str());
  std::exit(1);
}

// Copies `source` to dir/name, appends random bytes up to `size` and signs it.
std::string signedCopy(const std::string& source, const std::string& name, std::uintmax_t size,
                       const std::string& identifier, const codesign::SigningKey& key) {
  const std::string path = dir + "/" + name;
  if (!source.empty()) fs::copy_file(source, path);
  std::string pad(size - std::min<std::uintmax_t>(size, fs::exists(path) ? fs::file_size(path) : 0), '\0');
  std::ifstream("/dev/urandom", std::ios::binary).read(pad.data(), static_cast<std::streamsize>(pad.size()));
  std::ofstream(path, std::ios::binary | std::ios::app) << pad;
  fs::permissions(path, fs::perms::owner_all);
  if (const auto r = codesign::signFile(path, identifier, &key); !r.error.empty()) die(r.error);
  return path;
}

void sha256sum(benchmark::State& state, const std::string& name) {
  for (auto _ : state) {
    const auto r = test::runCommand({"/usr/bin/sha256sum", dir + "/" + name});
    if (r.exitStatus != 0) state.SkipWithError(r.err.c_str());
  }
}

void verify(benchmark::State& state) {
  for (auto _ : state) {
    if (codesign::evaluateFile(dir + "/big").status != codesign::kStatusOK) state.SkipWithError("not intact");
  }
}

void validatePeer(benchmark::State& state, bool rereadOwnImage) {
  const auto peer = spawnChild({dir + "/peer", {"600"}, -1, -1});  // a signed sleep
  const auto process = PeerProcess::fromPid(peer->pid());
  for (auto _ : state) {
    if (rereadOwnImage) codesign::setCodeSigningServices(nullptr);  // fresh services: own image not read yet
    if (!process || !CodeSignValidator::validate(*process)) state.SkipWithError("the peer was refused");
  }
  state.counters["own_MB"] = static_cast<double>(fs::file_size("/proc/self/exe")) / (1 << 20);
  peer->sendSignal(SIGKILL);
  peer->waitForExit(-1);
}

// First run: make a key, the signed copies and the 35 MB file, then run the
// signed copy of this program in our place.
[[noreturn]] void prepareAndReexec(char** argv) {
  char tmpl[] = "/tmp/bench-codesign-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) die("mkdtemp failed");
  dir = tmpl;
  const auto key = codesign::SigningKey::generate(nullptr);
  if (!key) die("cannot make a signing key");
  const std::string self = signedCopy("/proc/self/exe", "bench_codesign", 14u << 20, "tarn.CorvalethApp.helper", *key);
  signedCopy("/bin/sleep", "peer", 5u << 20, "tarn.CorvalethApp", *key);
  signedCopy("", "big", 35u << 20, "big.file", *key);
  ::setenv(kDirEnv, dir.c_str(), 1);
  ::execv(self.c_str(), argv);
  die("cannot run the signed copy");
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kDirEnv) == nullptr) prepareAndReexec(argv);
  dir = std::getenv(kDirEnv);
  ::unsetenv(kDirEnv);
  setLogSink(std::make_shared<MemoryLogSink>());  // one line per validation, not on the console
  for (auto* b : {benchmark::RegisterBenchmark("BM_Sha256sum35MB", sha256sum, std::string("big")),
                  benchmark::RegisterBenchmark("BM_Verify35MB", verify),
                  benchmark::RegisterBenchmark("BM_Sha256sum5MB", sha256sum, std::string("peer")),
                  benchmark::RegisterBenchmark("BM_ValidatePeer5MB", validatePeer, false),
                  benchmark::RegisterBenchmark("BM_ValidatePeer5MBRereadingOwnImage", validatePeer, true)}) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  reporter.compare("BM_Verify35MB", "BM_Sha256sum35MB");
  reporter.compare("BM_ValidatePeer5MB", "BM_Sha256sum5MB");
  reporter.compare("BM_ValidatePeer5MBRereadingOwnImage", "BM_Sha256sum5MB");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  fs::remove_all(dir);
  return 0;
}
