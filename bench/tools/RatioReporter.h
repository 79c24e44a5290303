// What the benchmark programs share: a console reporter that keeps each benchmark's time, and
// prints ratios of two of them after the table, so that every figure stands next to the
// baseline timed in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  // AAggregate: the aggregate kept of a repeated benchmark ("mean", "median"); a benchmark run
  // once is kept as it is. Colours only for a terminal, so that a saved run reads as plain text.
  explicit TRatioReporter(std::string AAggregate)
      : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular),
        FAggregate(std::move(AAggregate)) {}

  void ReportRuns(const std::vector<Run>& AReports) override {
    ConsoleReporter::ReportRuns(AReports);
    for (const auto& run : AReports) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate ? run.aggregate_name == FAggregate
                                            : run.repetitions <= 1) {
        const std::string name = run.run_name.function_name +
                                 (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
        FMs[name] = run.GetAdjustedRealTime();
        FCpuMs[name] = run.GetAdjustedCPUTime();
      }
    }
  }

  // Prints "AWhat = ATop's time / ABottom's time" when both ran.
  void PrintRatio(const char* AWhat, const std::string& ATop, const std::string& ABottom) const {
    PrintRatioOf(FMs, AWhat, ATop, ABottom);
  }

  // The same for the CPU times: what the machine spent rather than how long it took, the
  // figure that holds on a shared machine (a benchmark that measures the process's CPU time
  // counts every thread of it).
  void PrintCpuRatio(const char* AWhat, const std::string& ATop, const std::string& ABottom) const {
    PrintRatioOf(FCpuMs, AWhat, ATop, ABottom);
  }

 private:
  static void PrintRatioOf(const std::map<std::string, double>& ATimes, const char* AWhat,
                           const std::string& ATop, const std::string& ABottom) {
    const auto top = ATimes.find(ATop);
    const auto bottom = ATimes.find(ABottom);
    if (top == ATimes.end() || bottom == ATimes.end() || bottom->second <= 0) return;
    std::printf("%s = %.3g (%.3f ms / %.3f ms)\n", AWhat, top->second / bottom->second, top->second,
                bottom->second);
  }

  const std::string FAggregate;
  std::map<std::string, double> FMs;
  std::map<std::string, double> FCpuMs;
};

// The body of a benchmark program's main: runs what the command line names, then APrintRatios.
inline int RunWithRatios(int argc, char** argv, TRatioReporter& AReporter,
                         const std::function<void()>& APrintRatios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&AReporter);
  std::printf("\n");
  APrintRatios();
  benchmark::Shutdown();
  return 0;
}
