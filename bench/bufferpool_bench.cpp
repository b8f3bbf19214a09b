// Zr_BufferPool against the system allocator.
//
// MallocFree/<impl>/<bytes>: one allocation and release of a buffer of that
// size; the pool case always hits its one pooled buffer, the newest, which
// Malloc and Free take on their fast paths. Above glibc's mmap ceiling
// (32 MiB on 64-bit) every malloc/free pair is an mmap/munmap.
// FirstFit/<impl>/64: requests cycle through 64 distinct sizes; in the pool
// the size asked for is always the oldest of 64 pooled buffers, so every hit
// walks the whole list (Malloc's general path; Free's fast path).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "bench_main.h"
#include "zr_bufferpool.h"

namespace {

void MallocFreeGlibc(benchmark::State& state) {
  const size_t size = state.range(0);
  for (auto _ : state) {
    void* p = malloc(size);
    benchmark::DoNotOptimize(p);
    free(p);
    benchmark::ClobberMemory();
  }
}

void MallocFreeZr(benchmark::State& state) {
  const size_t size = state.range(0);
  Zr_BufferPool pool;
  pool.Initialize(4, 128u << 20, 256u << 20, 10, 0);
  pool.Free(malloc(size), size);
  for (auto _ : state) {
    void* p;
    size_t got;
    pool.Malloc(&p, &got, size);
    benchmark::DoNotOptimize(p);
    pool.Free(p, got);
    benchmark::ClobberMemory();
  }
  if (pool.GetBytesAllocated() != 0) state.SkipWithError("pool missed");
}

// 64 distinct sizes between 1 KiB and 64 KiB, fixed by the seed.
std::vector<size_t> MixedSizes() {
  std::mt19937 rng(42);
  std::set<size_t> sizes;
  while (sizes.size() < 64) sizes.insert(1024 + rng() % (63 * 1024));
  std::vector<size_t> out(sizes.begin(), sizes.end());
  std::shuffle(out.begin(), out.end(), rng);
  return out;
}

void FirstFitGlibc(benchmark::State& state) {
  const std::vector<size_t> sizes = MixedSizes();
  size_t k = 0;
  for (auto _ : state) {
    void* p = malloc(sizes[k]);
    benchmark::DoNotOptimize(p);
    free(p);
    k = (k + 1) % sizes.size();
  }
}

void FirstFitZr(benchmark::State& state) {
  const std::vector<size_t> sizes = MixedSizes();
  Zr_BufferPool pool;
  pool.Initialize(64, 1u << 20, 1u << 30, 0, 0);
  // Pooled in order, so sizes[0] is the oldest: last on the newest-first list.
  for (size_t s : sizes) pool.Free(malloc(s), s);
  size_t k = 0;
  for (auto _ : state) {
    void* p;
    size_t got;
    pool.Malloc(&p, &got, sizes[k]);
    benchmark::DoNotOptimize(p);
    // Given back, it becomes the newest; the next size is now the oldest.
    pool.Free(p, got);
    k = (k + 1) % sizes.size();
  }
  if (pool.GetBytesAllocated() != 0) state.SkipWithError("pool missed");
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t s : {4096, 256 << 10, 4 << 20, 64 << 20}) b->Arg(s);
}

}  // namespace

BENCHMARK(MallocFreeGlibc)->Name("MallocFree/glibc")->Apply(Sizes);
BENCHMARK(MallocFreeZr)->Name("MallocFree/zr")->Apply(Sizes);
BENCHMARK(FirstFitGlibc)->Name("FirstFit/glibc")->Arg(64);
BENCHMARK(FirstFitZr)->Name("FirstFit/zr")->Arg(64);

int main(int argc, char** argv) {
  return zr_bench::Main(argc, argv,
                        "MallocFree/zr: Malloc and Free fast paths (the newest pooled buffer "
                        "fits); FirstFit/zr: Malloc's first-fit search over 64 buffers, Free's "
                        "fast path");
}
