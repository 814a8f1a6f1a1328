// A console reporter that also keeps each benchmark's time per iteration, so that
// a benchmark program can print ratios against a reference measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace quillmere::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        real_[run.run_name.function_name] = run.GetAdjustedRealTime();
        cpu_[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Time per iteration in the benchmark's unit; 0 when the benchmark did not run.
  double real(const std::string& name) const { return find(real_, name); }
  double cpu(const std::string& name) const { return find(cpu_, name); }

 private:
  static double find(const std::map<std::string, double>& times, const std::string& name) {
    auto it = times.find(name);
    return it == times.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> real_;
  std::map<std::string, double> cpu_;
};

}  // namespace quillmere::bench
