// Code-signing costs, each against a baseline measured in the same run:
//  - checking the signature of a 35 MB file, against `sha256sum` of it
//    (goal: at most 1.2x);
//  - validating a peer whose executable is 5 MB, the first time (process
//    checks, the file rules, trailer, signature and the hash of its 5 MB),
//    against `sha256sum` of the peer's file (goal: under 10 ms); again, with
//    the file unchanged (a stat instead of the hash); and a peer whose
//    executable others could change, refused without any hashing.
// The program re-executes itself from a copy signed with a key made for the
// run and padded to 14 MB like the helper, so that "the helper's own image"
// is a real signed one of the helper's size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
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
  if (const auto r = codesign::signFile(path, identifier, &key); !r) die(r.error().message);
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

enum class Peer { firstTime, known, refused };

void validatePeer(benchmark::State& state, Peer kind) {
  const std::string path = dir + (kind == Peer::refused ? "/open/peer" : "/peer");
  const auto peer = test::startProgram({path, {"600"}});  // a signed sleep
  const auto process = PeerProcess::fromPid(peer->pid(), 0, 0);
  const std::uint64_t hashesBefore = CodeSignValidator::contentChecks();
  long second = 1700000000;
  for (auto _ : state) {
    if (kind == Peer::firstTime) {
      // A new modification time: to the helper another file, never seen.
      state.PauseTiming();
      const timespec times[2] = {{++second, 0}, {second, 0}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);
      state.ResumeTiming();
    }
    const bool admitted = process && CodeSignValidator::validate(*process).admitted.has_value();
    if (admitted != (kind != Peer::refused)) state.SkipWithError("unexpected verdict");
  }
  state.counters["hashes_per_validation"] =
      static_cast<double>(CodeSignValidator::contentChecks() - hashesBefore) / static_cast<double>(state.iterations());
  peer->sendSignal(SIGKILL);
  peer->waitForExit(-1);
}

// First run: make a key, the signed copies and the 35 MB file, then run the
// signed copy of this program in our place.
[[noreturn]] void prepareAndReexec(char** argv) {
  // Under a directory only root can change, where images count.
  ::mkdir("/var/lib/helper-tests", 0755);
  char tmpl[] = "/var/lib/helper-tests/bench-codesign-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) die("mkdtemp failed (run as root)");
  dir = tmpl;
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
  const auto key = codesign::SigningKey::generate();
  if (!key) die("cannot make a signing key");
  const std::string self = signedCopy("/proc/self/exe", "bench_codesign", 14u << 20, "tarn.CorvalethApp.helper", *key);
  signedCopy("/bin/sleep", "peer", 5u << 20, "tarn.CorvalethApp", *key);
  // The same in a directory everyone may write to.
  fs::create_directory(dir + "/open");
  fs::permissions(dir + "/open", fs::perms::all);
  fs::copy_file(dir + "/peer", dir + "/open/peer");
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

  for (auto* b : {benchmark::RegisterBenchmark("BM_Sha256sum35MB", sha256sum, std::string("big")),
                  benchmark::RegisterBenchmark("BM_Verify35MB", verify),
                  benchmark::RegisterBenchmark("BM_Sha256sum5MB", sha256sum, std::string("peer")),
                  benchmark::RegisterBenchmark("BM_ValidatePeer5MBFirstTime", validatePeer, Peer::firstTime),
                  benchmark::RegisterBenchmark("BM_ValidatePeer5MBKnown", validatePeer, Peer::known),
                  benchmark::RegisterBenchmark("BM_RefusePeerOthersCouldChange", validatePeer, Peer::refused)}) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  reporter.compare("BM_Verify35MB", "BM_Sha256sum35MB");
  reporter.compare("BM_ValidatePeer5MBFirstTime", "BM_Sha256sum5MB");
  reporter.compare("BM_ValidatePeer5MBKnown", "BM_Sha256sum5MB");
  reporter.compare("BM_RefusePeerOthersCouldChange", "BM_Sha256sum5MB");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  fs::remove_all(dir);
  return 0;
}
