// A benchmark main that first prints, as context lines, the CPU the run is
// on and which of the library's paths the cases take.
#ifndef ZR_BENCH_MAIN_H
#define ZR_BENCH_MAIN_H

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace zr_bench {

// The first "model name" line of /proc/cpuinfo.
inline std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

inline int Main(int argc, char** argv, const std::string& paths) {
  benchmark::AddCustomContext("cpu", CpuModel());
  benchmark::AddCustomContext("zr_paths", paths);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace zr_bench

#endif  // ZR_BENCH_MAIN_H
