// Adler-32 paths against zlib's adler32, and the checksummed streams against
// the bare checksum they are built on.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "Zr_Adler32.h"

namespace {

// One 1 MiB random buffer, made once, for every case.
const unsigned char* Data() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> v(1 << 20);
    std::mt19937 rng(1950);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
  }();
  return data.data();
}

void Adler32Zlib(benchmark::State& state) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(adler32(1, p, static_cast<uInt>(len)));
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void Adler32Path(benchmark::State& state, zr_adler32_path_t path) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Zr_Adler32Path(path, 1, p, len));
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void Adler32Best(benchmark::State& state) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Zr_Adler32(1, p, len));
  }
  state.SetBytesProcessed(state.iterations() * len);
  state.SetLabel(Zr_Adler32PathName(Zr_Adler32ActivePath()));
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(512)->Arg(65536)->Arg(1 << 20); }

BENCHMARK(Adler32Zlib)->Name("Adler32/zlib")->Apply(Sizes);
BENCHMARK(Adler32Best)->Name("Adler32/zr")->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) {
  // Every path this CPU can run, beside the best one and zlib.
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (!Zr_Adler32PathAvailable(path)) continue;
    std::string name = std::string("Adler32/zr_") + Zr_Adler32PathName(path);
    benchmark::RegisterBenchmark(name.c_str(), Adler32Path, path)->Apply(Sizes);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
