// Helpers for the benchmark programs: where the build tree is, and a
// reporter that prints, after the usual table, the ratio of each benchmark
// to the baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace helper::bench {

// The build tree: two levels above this program (build/bench/<program>).
inline std::string buildDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path(buf, n > 0 ? static_cast<size_t>(n) : 0);
  for (int i = 0; i < 2 && path.rfind('/') != std::string::npos; ++i) path.erase(path.rfind('/'));
  return path;
}

// Prints "<name>: <ratio>x <baseline>" for every pair registered with
// compare(); ratios use the median real time when repetitions ran, the mean
// otherwise.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that saved output stays readable.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

  void compare(const std::string& name, const std::string& baseline) { pairs_.emplace_back(name, baseline); }

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median || (run.run_type == Run::RT_Iteration && !medians_.count(name))) {
        times_[name] = run.GetAdjustedRealTime();
        if (median) medians_[name] = true;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, baseline] : pairs_) {
      if (!times_.count(name) || !times_.count(baseline)) continue;
      std::printf("ratio %s / %s = %.4gx\n", name.c_str(), baseline.c_str(), times_[name] / times_[baseline]);
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

}  // namespace helper::bench
