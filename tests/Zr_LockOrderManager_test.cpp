#include "Zr_LockOrderManager.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "Zr_ErrnoException.h"
#include "test_support.h"

namespace {

constexpr unsigned int Bit(int i) { return 1u << i; }
unsigned long Self() { return pthread_self(); }

// Expects `rc` to be -1 with `err` in errno.
#define EXPECT_FAILS_WITH(call, err) \
  do {                               \
    errno = 0;                       \
    EXPECT_EQ((call), -1);           \
    EXPECT_EQ(errno, (err));         \
  } while (0)

unsigned int HeldMask(Zr_LockOrderManager& m) {
  unsigned int mask = 0xdeadbeef;
  EXPECT_EQ(m.GetLockState(mask, nullptr, 0), 0);
  return mask;
}

TEST(LockOrderManager, ConstructionChecksTheLockCount) {
  for (unsigned long n : {0ul, 33ul, 1000ul}) {
    try {
      Zr_LockOrderManager m(n);
      ADD_FAILURE() << n << " locks accepted";
    } catch (const Zr_ErrnoException& e) {
      EXPECT_EQ(e.GetErrno(), EINVAL);
      char text[8] = "x";
      EXPECT_STRNE(e.GetString(text, sizeof text), "");  // no own message: strerror text
    }
  }
  Zr_LockOrderManager one(1), all(32);
  EXPECT_EQ(one.GetNumLocks(), 1u);
  EXPECT_EQ(all.GetNumLocks(), 32u);
  EXPECT_EQ(HeldMask(all), 0u);
}

TEST(LockOrderManager, AcquisitionIsStrictlyAscendingPerThread) {
  Zr_LockOrderManager m(8);
  ASSERT_EQ(m.Lock(Bit(3)), 0);
  for (int low = 0; low <= 3; ++low) EXPECT_FAILS_WITH(m.Lock(Bit(low) | Bit(6)), EDEADLK);
  // Re-taking a held lock fails instead of blocking on the plain mutex.
  EXPECT_FAILS_WITH(m.Lock(Bit(3)), EDEADLK);
  EXPECT_EQ(HeldMask(m), Bit(3));  // failed requests took nothing
  ASSERT_EQ(m.Lock(Bit(4) | Bit(7)), 0);
  EXPECT_TRUE(m.AssertOwner(Bit(3) | Bit(4) | Bit(7), Self()));
  EXPECT_EQ(m.Lock(0), 0);
  ASSERT_EQ(m.Unlock(Bit(3) | Bit(4) | Bit(7)), 0);

  // Releases may come in any order; the highest lock still held decides.
  ASSERT_EQ(m.Lock(Bit(0) | Bit(5)), 0);
  ASSERT_EQ(m.Unlock(Bit(5)), 0);
  ASSERT_EQ(m.Lock(Bit(5)), 0);
  EXPECT_FAILS_WITH(m.Lock(Bit(0)), EDEADLK);
  ASSERT_EQ(m.Unlock(Bit(0)), 0);
  EXPECT_FAILS_WITH(m.Lock(Bit(1)), EDEADLK);  // 5 is still held
  ASSERT_EQ(m.Unlock(Bit(5)), 0);
  EXPECT_EQ(m.Unlock(0), 0);
  EXPECT_EQ(HeldMask(m), 0u);

  // The top lock of a full manager: nothing may follow it.
  Zr_LockOrderManager full(32);
  ASSERT_EQ(full.Lock(Bit(31)), 0);
  EXPECT_FAILS_WITH(full.Lock(Bit(0)), EDEADLK);
  ASSERT_EQ(full.Unlock(Bit(31)), 0);
  ASSERT_EQ(full.Lock(0xffffffffu), 0);
  EXPECT_TRUE(full.AssertOwner(0xffffffffu, Self()));
  ASSERT_EQ(full.Unlock(0xffffffffu), 0);
}

TEST(LockOrderManager, InvalidMasksAreRejectedEverywhere) {
  Zr_LockOrderManager m(4);
  for (unsigned int bad : {Bit(4), Bit(0) | Bit(4), Bit(31), 0xffffffffu}) {
    EXPECT_FAILS_WITH(m.Lock(bad), EINVAL);
    EXPECT_FAILS_WITH(m.Unlock(bad), EINVAL);
    errno = 0;
    EXPECT_FALSE(m.AssertOwner(bad, Self()));
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(HeldMask(m), 0u);
}

TEST(LockOrderManager, UnlockOfLocksNotHeldChangesNothing) {
  Zr_LockOrderManager m(4);
  ASSERT_EQ(m.Lock(Bit(1)), 0);
  EXPECT_FAILS_WITH(m.Unlock(Bit(1) | Bit(2)), EINVAL);
  EXPECT_EQ(HeldMask(m), Bit(1));
  EXPECT_TRUE(m.AssertOwner(Bit(1), Self()));

  // Another thread can neither release our lock nor be taken for its owner.
  std::thread other([&] {
    EXPECT_FAILS_WITH(m.Unlock(Bit(1)), EINVAL);
    EXPECT_FALSE(m.AssertOwner(Bit(1), Self()));
    EXPECT_FALSE(m.AssertOwner(Bit(1), 0));
  });
  other.join();
  EXPECT_TRUE(m.AssertOwner(Bit(1), Self()));
  ASSERT_EQ(m.Unlock(Bit(1)), 0);
  EXPECT_FAILS_WITH(m.Unlock(Bit(1)), EINVAL);  // already released
}

TEST(LockOrderManager, StateAndOwnershipQueries) {
  Zr_LockOrderManager m(3);
  std::vector<unsigned long> owners(3, 77);
  unsigned int held = 0x55;
  EXPECT_FAILS_WITH(m.GetLockState(held, owners.data(), 2), ENOBUFS);
  EXPECT_FAILS_WITH(m.GetLockState(held, nullptr, 3), EINVAL);
  EXPECT_EQ(held, 0x55u);  // untouched on failure
  EXPECT_EQ(owners[0], 77u);
  ASSERT_EQ(m.GetLockState(held, owners.data(), 3), 0);
  EXPECT_EQ(held, 0u);
  EXPECT_EQ(owners, std::vector<unsigned long>(3, 0));  // never taken

  ASSERT_EQ(m.Lock(Bit(2)), 0);
  ASSERT_EQ(m.GetLockState(held, owners.data(), 3), 0);
  EXPECT_EQ(held, Bit(2));
  EXPECT_EQ(owners[2], Self());

  // Another thread sees the same state and can ask about us.
  unsigned long me = Self();
  std::thread other([&] {
    unsigned int seen = 0;
    EXPECT_EQ(m.GetLockState(seen, nullptr, 0), 0);
    EXPECT_EQ(seen, Bit(2));
    EXPECT_TRUE(m.AssertOwner(Bit(2), me));
    EXPECT_TRUE(m.AssertOwner(0, Self()));
  });
  other.join();

  ASSERT_EQ(m.Unlock(Bit(2)), 0);
  ASSERT_EQ(m.GetLockState(held, owners.data(), 3), 0);
  EXPECT_EQ(owners[2], Self());  // stale entry stays ...
  errno = 0;
  EXPECT_FALSE(m.AssertOwner(Bit(2), Self()));  // ... but counts for nothing
  EXPECT_EQ(errno, 0);
}

TEST(LockOrderManager, ContendedLockWaitsForTheHolder) {
  Zr_LockOrderManager m(2);
  ASSERT_EQ(m.Lock(Bit(1)), 0);
  std::atomic<bool> got(false);
  std::thread waiter([&] {
    // Holds 0, then waits for 1: legal order, so it must block, not fail.
    ASSERT_EQ(m.Lock(Bit(0)), 0);
    ASSERT_EQ(m.Lock(Bit(1)), 0);
    got = true;
    EXPECT_TRUE(m.AssertOwner(Bit(0) | Bit(1), Self()));
    ASSERT_EQ(m.Unlock(Bit(0) | Bit(1)), 0);
  });
  ASSERT_TRUE(zr_test::WaitUntil([&] { return (HeldMask(m) & Bit(0)) != 0; }));
  EXPECT_FALSE(got);  // cannot have passed lock 1 while we hold it
  ASSERT_EQ(m.Unlock(Bit(1)), 0);
  waiter.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(HeldMask(m), 0u);
}

// Several threads take random ascending masks, in one or two steps, and
// release them in random groups. A per-lock holder count proves mutual
// exclusion; every out-of-order request must fail at once with EDEADLK (one
// that blocked on its own lock would hang the run, which the deadline
// catches); and the whole run must finish, so no deadlock arose.
TEST(LockOrderManager, StressMutualExclusionAndNoDeadlock) {
  constexpr int kLocks = 8, kThreads = 4, kRounds = 10000;
  Zr_LockOrderManager m(kLocks);
  std::atomic<int> holders[kLocks];
  for (auto& h : holders) h = 0;
  std::atomic<int> overlaps(0), wrong_results(0), finished(0);

  auto worker = [&](unsigned seed) {
    std::mt19937 rng(seed);
    auto mark = [&](unsigned int mask, int delta) {
      for (int i = 0; i < kLocks; ++i) {
        if (!(mask & Bit(i))) continue;
        int before = holders[i].fetch_add(delta);
        if ((delta > 0 && before != 0) || (delta < 0 && before != 1)) ++overlaps;
      }
    };
    for (int round = 0; round < kRounds; ++round) {
      const unsigned int want = 1 + rng() % ((1u << kLocks) - 1);
      const int cut = rng() % kLocks;  // first step: locks below cut
      const unsigned int first = want & (Bit(cut) - 1), second = want & ~(Bit(cut) - 1);
      unsigned int held = 0;
      for (unsigned int step : {first, second}) {
        if (step == 0) continue;
        if (m.Lock(step) != 0) ++wrong_results;
        mark(step, +1);
        held |= step;
        // Any lock at or below the highest held one is out of order.
        const int top = 31 - __builtin_clz(held);
        const unsigned int bad = Bit(rng() % (top + 1)) | (rng() & (Bit(kLocks) - 1));
        errno = 0;
        if (m.Lock(bad) != -1 || errno != EDEADLK) ++wrong_results;
      }
      if (!m.AssertOwner(held, pthread_self())) ++wrong_results;
      const unsigned int part = held & rng();
      for (unsigned int step : {part, held & ~part}) {
        mark(step, -1);
        if (m.Unlock(step) != 0) ++wrong_results;
      }
    }
    ++finished;
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, 1000 + t);
  if (!zr_test::WaitUntil([&] { return finished == kThreads; }, std::chrono::seconds(60))) {
    // Threads stuck in a deadlock cannot be joined: report and leave.
    fprintf(stderr, "lock-order stress: deadlock, %d of %d threads finished\n", finished.load(),
            kThreads);
    _Exit(1);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(wrong_results, 0);
  EXPECT_EQ(HeldMask(m), 0u);
}

}  // namespace
