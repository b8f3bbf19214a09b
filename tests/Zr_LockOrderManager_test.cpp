#include "Zr_LockOrderManager.h"

#include <errno.h>
#include <gmock/gmock.h>

#include <atomic>
#include <random>
#include <thread>
#include <type_traits>

#include "test_support.h"

// A copy would destroy the mutexes and arrays twice.
static_assert(!std::is_copy_constructible_v<Zr_LockOrderManager>);

namespace {

constexpr unsigned int Bit(int i) { return 1u << i; }
unsigned long Self() { return pthread_self(); }

TEST(LockOrderManager, OrderingErrorsAndQueries) {
  Zr_LockOrderManager m(4), full(32);  // 32 locks: every mask valid, nothing after lock 31
  // Lock, Unlock or AssertOwner a mask (bit i: lock i) on the 4- or 32-lock
  // manager in turn, and the errno each leaves (OK: no failure). Held lock 2
  // refuses lower and equal requests (no blocking on our own lock) until
  // released; failed calls take and release nothing; a stale owner entry
  // counts for nothing (AssertOwner false, errno untouched).
  constexpr int OK = -1;
  // clang-format off
  const std::tuple<int, char, unsigned int, int> calls[] = {
      {4, 'L', 0, OK}, {4, 'U', 0, OK}, {4, 'L', 0x4, OK}, {4, 'L', 0x9, EDEADLK},
      {4, 'L', 0xa, EDEADLK}, {4, 'L', 0xc, EDEADLK}, {4, 'L', 0x10, EINVAL}, {4, 'U', 0x10, EINVAL},
      {4, 'A', 0x10, EINVAL}, {4, 'U', 0x6, EINVAL}, {4, 'L', 0x80000001, EINVAL},
      {4, 'U', 0x80000001, EINVAL}, {4, 'A', 0x80000001, EINVAL}, {4, 'L', 0x8, OK},
      {4, 'A', 0xc, OK}, {4, 'U', 0x8, OK}, {4, 'L', 0x2, EDEADLK}, {4, 'L', 0x8, OK},
      {4, 'U', 0x8, OK}, {4, 'U', 0x8, EINVAL}, {4, 'A', 0x8, 0}, {32, 'L', 0x80000000, OK},
      {32, 'L', 0x1, EDEADLK}, {32, 'U', 0x80000000, OK}, {32, 'L', ~0u, OK}, {32, 'A', ~0u, OK},
      {32, 'U', ~0u, OK}, {32, 'A', 0x80000000, 0}};
  // clang-format on
  for (auto [locks, op, mask, err] : calls) {
    Zr_LockOrderManager* mgr = locks == 4 ? &m : &full;
    const int got = op == 'L'   ? ErrnoOf(mgr->Lock(mask))
                    : op == 'U' ? ErrnoOf(mgr->Unlock(mask))
                                : ErrnoOf(mgr->AssertOwner(mask, Self()) ? 0 : -1);
    EXPECT_EQ(got, err) << op << " " << std::hex << mask;
  }
  // Lock 2 is not this thread's: neither released nor owned.
  std::thread([&] {
    EXPECT_TRUE(ErrnoOf(m.Unlock(Bit(2))) == EINVAL && !m.AssertOwner(Bit(2), Self()));
  }).join();

  unsigned long owners[5] = {7, 7, 7, 7, 7};  // one spare entry, never written
  unsigned int held = 7;
  EXPECT_EQ(ErrnoOf(m.GetLockState(held, owners, 3)), ENOBUFS);
  EXPECT_TRUE(ErrnoOf(m.GetLockState(held, nullptr, 4)) == EINVAL && held == 7u) << held;
  EXPECT_TRUE(m.GetLockState(held, owners, 4) == 0 && held == Bit(2)) << held;
  EXPECT_THAT(owners, testing::ElementsAre(0ul, 0ul, Self(), Self(), 7ul));
  EXPECT_EQ(m.Unlock(Bit(2)), 0);
}

// Threads take random ascending masks in one or two steps and release them in
// random groups. A per-lock holder count proves mutual exclusion; every
// out-of-order request must fail with EDEADLK (one that blocked on the
// caller's own lock would hang); and the run must end by its deadline.
TEST(LockOrderManager, StressMutualExclusionAndNoDeadlock) {
  constexpr int kLocks = 8, kThreads = 4, kRounds = 10000;
  Zr_LockOrderManager m(kLocks);
  std::atomic<int> holders[kLocks] = {}, faults(0), finished(0), started(0);
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    for (++started; started < kThreads;) std::this_thread::yield();  // all at once
    for (int round = 0; round < kRounds; ++round) {
      const unsigned int want = 1 + rng() % (Bit(kLocks) - 1), low = Bit(rng() % kLocks) - 1;
      unsigned int held = 0;
      for (unsigned int step : {want & low, want & ~low}) {
        if (step == 0) continue;
        faults += m.Lock(step) != 0;
        for (int i = 0; i < kLocks; ++i) faults += (step & Bit(i)) && holders[i]++ != 0;
        held |= step;
        std::this_thread::yield();  // others run while we hold: even on one core
        const unsigned int bad = Bit(rng() % (32 - __builtin_clz(held))) | (rng() & want);
        faults += ErrnoOf(m.Lock(bad)) != EDEADLK;
      }
      faults += !m.AssertOwner(held, pthread_self());
      const unsigned int part = held & rng();
      for (unsigned int step : {part, held & ~part}) {
        for (int i = 0; i < kLocks; ++i) holders[i] -= (step & Bit(i)) != 0;
        faults += m.Unlock(step) != 0;
      }
    }
    ++finished;
  };
  std::thread threads[kThreads];
  for (int t = 0; t < kThreads; ++t) threads[t] = std::thread(worker, 1000 + t);
  // Threads stuck in a deadlock cannot be joined: leaving them aborts the run.
  ASSERT_TRUE(zr_test::WaitUntil([&] { return finished == kThreads; }, std::chrono::seconds(60)))
      << "deadlock: " << finished << " of " << kThreads << " threads finished";
  for (auto& t : threads) t.join();
  unsigned int held = 1;  // only the mask, with no owner buffer
  EXPECT_TRUE(faults == 0 && m.GetLockState(held, nullptr, 0) == 0 && held == 0) << faults << held;
}

}  // namespace
