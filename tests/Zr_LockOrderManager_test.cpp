#include "Zr_LockOrderManager.h"

#include <errno.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "Zr_ErrnoException.h"
#include "test_support.h"

namespace {

constexpr unsigned int Bit(int i) { return 1u << i; }
unsigned long Self() { return pthread_self(); }

// The errno of a call that must return -1 (0 when it did not).
#define ERRNO_OF(call) (errno = 0, (call) == -1 ? errno : 0)

TEST(LockOrderManager, OrderingErrorsAndQueries) {
  for (unsigned long n : {0ul, 33ul})
    EXPECT_THAT([n] { Zr_LockOrderManager bad(n); },
                testing::Throws<Zr_ErrnoException>(
                    testing::Property(&Zr_ErrnoException::GetErrno, EINVAL)));
  Zr_LockOrderManager m(4);
  ASSERT_EQ(m.Lock(Bit(2)), 0);
  for (int low = 0; low <= 2; ++low)  // 2 itself too: no blocking on our own lock
    EXPECT_EQ(ERRNO_OF(m.Lock(Bit(low) | Bit(3))), EDEADLK);
  for (unsigned int bad : {Bit(4), Bit(0) | Bit(31)}) {
    EXPECT_EQ(ERRNO_OF(m.Lock(bad)), EINVAL);
    EXPECT_EQ(ERRNO_OF(m.Unlock(bad)), EINVAL);
    EXPECT_EQ(ERRNO_OF(m.AssertOwner(bad, Self()) ? 0 : -1), EINVAL);
  }
  EXPECT_EQ(ERRNO_OF(m.Unlock(Bit(1) | Bit(2))), EINVAL);  // 1 not held
  std::thread([&] {
    EXPECT_EQ(ERRNO_OF(m.Unlock(Bit(2))), EINVAL);  // not ours
    EXPECT_TRUE(m.AssertOwner(0, Self()));
    EXPECT_FALSE(m.AssertOwner(Bit(2), Self()));
  }).join();

  unsigned long owners[4] = {9, 9, 9, 9};
  unsigned int held = 7;
  EXPECT_EQ(ERRNO_OF(m.GetLockState(held, owners, 3)), ENOBUFS);
  EXPECT_EQ(ERRNO_OF(m.GetLockState(held, nullptr, 4)), EINVAL);
  EXPECT_EQ(held, 7u);
  ASSERT_EQ(m.GetLockState(held, owners, 4), 0);
  EXPECT_EQ(held, Bit(2));  // no failed call above took or released anything
  EXPECT_THAT(owners, testing::ElementsAre(0ul, 0ul, Self(), 0ul));

  // Releases come in any order; the highest lock still held decides.
  ASSERT_EQ(m.Lock(Bit(3)), 0);
  ASSERT_EQ(m.Unlock(Bit(3)), 0);
  EXPECT_EQ(ERRNO_OF(m.Lock(Bit(1))), EDEADLK);  // 2 is still held
  ASSERT_EQ(m.Lock(Bit(3)), 0);
  EXPECT_TRUE(m.AssertOwner(Bit(2) | Bit(3), Self()));
  ASSERT_EQ(m.Unlock(Bit(2) | Bit(3)), 0);
  EXPECT_EQ(ERRNO_OF(m.Unlock(Bit(2))), EINVAL);  // no double unlock
  errno = 0;
  EXPECT_FALSE(m.AssertOwner(Bit(2), Self()));  // the stale entry counts for nothing
  EXPECT_EQ(errno, 0);

  Zr_LockOrderManager full(32);  // every mask valid, nothing after lock 31
  ASSERT_EQ(full.Lock(Bit(31)), 0);
  EXPECT_EQ(ERRNO_OF(full.Lock(Bit(0))), EDEADLK);
  ASSERT_EQ(full.Unlock(Bit(31)), 0);
  ASSERT_EQ(full.Lock(~0u), 0);
  ASSERT_EQ(full.Unlock(~0u), 0);
}

// Threads take random ascending masks in one or two steps and release them in
// random groups. A per-lock holder count proves mutual exclusion; every
// out-of-order request must fail with EDEADLK (one that blocked on the
// caller's own lock would hang); and the run must end by its deadline.
TEST(LockOrderManager, StressMutualExclusionAndNoDeadlock) {
  constexpr int kLocks = 8, kThreads = 4, kRounds = 10000;
  Zr_LockOrderManager m(kLocks);
  std::atomic<int> holders[kLocks] = {}, faults(0), finished(0);
  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    auto count = [&](unsigned int mask, int delta) {
      for (int i = 0; i < kLocks; ++i)
        if ((mask & Bit(i)) && holders[i].fetch_add(delta) != (delta > 0 ? 0 : 1)) ++faults;
    };
    for (int round = 0; round < kRounds; ++round) {
      const unsigned int want = 1 + rng() % (Bit(kLocks) - 1), low = Bit(rng() % kLocks) - 1;
      unsigned int held = 0;
      for (unsigned int step : {want & low, want & ~low}) {
        if (step == 0) continue;
        faults += m.Lock(step) != 0;
        count(step, +1);
        held |= step;
        const unsigned int bad = Bit(rng() % (32 - __builtin_clz(held))) | (rng() & want);
        faults += ERRNO_OF(m.Lock(bad)) != EDEADLK;
      }
      faults += !m.AssertOwner(held, pthread_self());
      const unsigned int part = held & rng();
      for (unsigned int step : {part, held & ~part}) {
        count(step, -1);
        faults += m.Unlock(step) != 0;
      }
    }
    ++finished;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, 1000 + t);
  // Threads stuck in a deadlock cannot be joined: leaving them aborts the run.
  ASSERT_TRUE(zr_test::WaitUntil([&] { return finished == kThreads; }, std::chrono::seconds(60)))
      << "deadlock: " << finished << " of " << kThreads << " threads finished";
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults, 0);
  unsigned int held = 1;
  EXPECT_TRUE(m.GetLockState(held, nullptr, 0) == 0 && held == 0) << held;
}

}  // namespace
