// zr-pool-demo: a buffer pool serving a burst of similar-sized requests, its
// second-chance sweep, and the lock-order manager refusing an acquisition
// that could deadlock.
#include <errno.h>
#include <pthread.h>
#include <string.h>

#include <cstdio>

#include "zrshared.h"

namespace {

void PrintPool(const char* when, const Zr_BufferPool& pool) {
  std::printf("  %-28s pooled %llu buffers / %llu bytes; from malloc %llu of %llu bytes asked\n",
              when, static_cast<unsigned long long>(pool.GetNrUnusedChunks()),
              static_cast<unsigned long long>(pool.GetNrUnusedBytes()),
              static_cast<unsigned long long>(pool.GetBytesAllocated()),
              static_cast<unsigned long long>(pool.GetBytesRequested()));
}

}  // namespace

int main() {
  std::printf("buffer pool: 8 slots, buffers up to 1 MiB, 4 MiB in all, fit within 10 %%\n");
  Zr_BufferPool pool;
  pool.Initialize(8, 1 << 20, 4 << 20, 10, 0);
  // Requests of 60 to 64 KiB: after the first round every one is a hit.
  for (int round = 0; round < 100; ++round) {
    void* bufs[4];
    size_t sizes[4];
    for (int i = 0; i < 4; ++i) pool.Malloc(&bufs[i], &sizes[i], (64 - i) << 10);
    for (int i = 0; i < 4; ++i) pool.Free(bufs[i], sizes[i]);
  }
  PrintPool("after 100 rounds of 4:", pool);
  pool.FreeUnusedMemory();
  PrintPool("after one sweep (kept):", pool);
  pool.FreeUnusedMemory();
  PrintPool("after a second idle sweep:", pool);

  std::printf("\nlock-order manager with 3 locks\n");
  Zr_LockOrderManager locks(3);
  std::printf("  Lock(0|2)            -> %d\n", locks.Lock(1u << 0 | 1u << 2));
  int rc = locks.Lock(1u << 1);
  std::printf("  Lock(1) holding 2    -> %d (%s)\n", rc, rc == -1 ? strerror(errno) : "taken");
  std::printf("  AssertOwner(0|2)     -> %s\n",
              locks.AssertOwner(1u << 0 | 1u << 2, pthread_self()) ? "true" : "false");
  rc = locks.Unlock(1u << 2);
  std::printf("  Unlock(2), Lock(1)   -> %d, %d\n", rc, locks.Lock(1u << 1));
  std::printf("  Unlock(0|1)          -> %d\n", locks.Unlock(1u << 0 | 1u << 1));
  return 0;
}
