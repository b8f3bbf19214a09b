// Zr_LockOrderManager against a bare pthread mutex.
//
// LockUnlock/<impl>/1: one lock taken and released by one thread.
// LockUnlockContended/<impl>/2: the same lock taken and released by two
// threads at once.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include "Zr_LockOrderManager.h"
#include "bench_main.h"

namespace {

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Zr_LockOrderManager* g_manager = new Zr_LockOrderManager(1);  // shared by the threads, never freed

void LockUnlockPthread(benchmark::State& state) {
  for (auto _ : state) {
    pthread_mutex_lock(&g_mutex);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&g_mutex);
  }
}

void LockUnlockZr(benchmark::State& state) {
  int failures = 0;
  for (auto _ : state) {
    failures += g_manager->Lock(1u);
    benchmark::ClobberMemory();
    failures += g_manager->Unlock(1u);
  }
  if (failures != 0) state.SkipWithError("Lock or Unlock failed");
}

}  // namespace

BENCHMARK(LockUnlockPthread)->Name("LockUnlock/pthread")->Arg(1);
BENCHMARK(LockUnlockZr)->Name("LockUnlock/zr")->Arg(1);
BENCHMARK(LockUnlockPthread)->Name("LockUnlockContended/pthread")->Arg(2)->Threads(2);
BENCHMARK(LockUnlockZr)->Name("LockUnlockContended/zr")->Arg(2)->Threads(2);

int main(int argc, char** argv) {
  return zr_bench::Main(argc, argv,
                        "LockUnlock*/zr: Lock takes the managed mutex, then the bookkeeping "
                        "mutex to record; Unlock checks and clears without it");
}
