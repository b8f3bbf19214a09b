// The main of every benchmark binary: it first prints, as context lines, the
// CPU the run is on, its vector extensions and which of the library's paths
// the cases take, so that figures from different machines can be told apart.
#ifndef ZR_BENCH_MAIN_H
#define ZR_BENCH_MAIN_H

#include <benchmark/benchmark.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace zr_bench {

// The value of the first line of /proc/cpuinfo that starts with `key`
// ("model name", "flags"), or "unknown".
inline std::string CpuInfo(const std::string& key) {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, key.size(), key) == 0) return line.substr(line.find(':') + 2);
  return "unknown";
}

// The vector extensions the library's fast paths can use, as this CPU
// reports them.
inline std::string VectorFlags() {
  std::string flags = " " + CpuInfo("flags") + " ", out;
  for (const char* f : {"ssse3", "avx2", "avx512f", "avx512bw", "avx512_vnni", "avx512vnni"}) {
    if (flags.find(std::string(" ") + f + " ") != std::string::npos)
      out += out.empty() ? f : std::string(" ") + f;
  }
  return out.empty() ? "none" : out;
}

// Prints the context (`paths` says which path of ours each case takes),
// runs the cases the command line selects, then calls `after`.
inline int Main(
    int argc, char** argv, const std::string& paths, const std::function<void()>& after = [] {}) {
  benchmark::AddCustomContext("cpu", CpuInfo("model name") + ", " +
                                         std::to_string(std::thread::hardware_concurrency()) +
                                         " logical cores");
  benchmark::AddCustomContext("cpu_vector_flags", VectorFlags());
  benchmark::AddCustomContext("zr_paths", paths);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  after();
  benchmark::Shutdown();
  return 0;
}

}  // namespace zr_bench

#endif  // ZR_BENCH_MAIN_H
