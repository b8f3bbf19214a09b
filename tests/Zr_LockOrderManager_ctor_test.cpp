// Construction failures of Zr_LockOrderManager leave nothing behind. This
// program interposes pthread_mutex_init/pthread_mutex_destroy and the array
// forms of operator new/delete (libzrshared calls them through its dynamic
// symbols) to fail on demand and to count what was made and undone.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <new>
#include <set>
#include <type_traits>

#include "Zr_ErrnoException.h"
#include "Zr_LockOrderManager.h"

namespace {

struct Injector {
  bool armed = false;
  int init_calls = 0;     // pthread_mutex_init calls while armed
  int fail_init_at = -1;  // this call (0-based) returns fail_code
  int fail_code = EAGAIN;
  int new_calls = 0;  // array allocations while armed
  int fail_new_at = -1;
  std::set<void*> live_mutexes;  // initialised and not yet destroyed
  std::set<void*> live_arrays;
};
Injector g_inj;

using InitFn = int (*)(pthread_mutex_t*, const pthread_mutexattr_t*);
using DestroyFn = int (*)(pthread_mutex_t*);

}  // namespace

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
  static InitFn real = reinterpret_cast<InitFn>(dlsym(RTLD_NEXT, "pthread_mutex_init"));
  if (g_inj.armed) {
    if (g_inj.init_calls++ == g_inj.fail_init_at) return g_inj.fail_code;
    g_inj.live_mutexes.insert(m);
  }
  return real(m, a);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* m) {
  static DestroyFn real = reinterpret_cast<DestroyFn>(dlsym(RTLD_NEXT, "pthread_mutex_destroy"));
  if (g_inj.armed) g_inj.live_mutexes.erase(m);
  return real(m);
}

void* operator new[](size_t n) {
  if (g_inj.armed && g_inj.new_calls++ == g_inj.fail_new_at) throw std::bad_alloc();
  void* p = malloc(n ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  if (g_inj.armed) g_inj.live_arrays.insert(p);
  return p;
}
void operator delete[](void* p) noexcept {
  if (g_inj.armed) g_inj.live_arrays.erase(p);
  free(p);
}
void operator delete[](void* p, size_t) noexcept { operator delete[](p); }

namespace {

// Runs a construction of `locks` locks with the injector armed as set up,
// expects it to throw, and checks that nothing stays allocated or initialised.
template <class Ex>
void ExpectCleanFailure(unsigned long locks, int expected_errno) {
  g_inj.init_calls = g_inj.new_calls = 0;
  g_inj.live_mutexes.clear();
  g_inj.live_arrays.clear();
  g_inj.armed = true;
  bool thrown = false;
  try {
    Zr_LockOrderManager m(locks);
  } catch (const Ex& e) {
    thrown = true;
    if constexpr (std::is_same_v<Ex, Zr_ErrnoException>) {
      EXPECT_EQ(e.GetErrno(), expected_errno);
    }
  }
  g_inj.armed = false;
  EXPECT_TRUE(thrown);
  EXPECT_TRUE(g_inj.live_mutexes.empty()) << g_inj.live_mutexes.size() << " mutexes left";
  EXPECT_TRUE(g_inj.live_arrays.empty()) << g_inj.live_arrays.size() << " arrays left";
  g_inj.fail_init_at = g_inj.fail_new_at = -1;
}

TEST(LockOrderManagerConstruction, FailedMutexInitUndoesEverything) {
  // Managed mutexes are initialised first (calls 0..n-1), the state mutex last.
  for (int at : {0, 1, 4, 5}) {
    SCOPED_TRACE(at);
    g_inj.fail_init_at = at;
    g_inj.fail_code = at == 5 ? ENOMEM : EAGAIN;
    ExpectCleanFailure<Zr_ErrnoException>(5, g_inj.fail_code);
  }
}

TEST(LockOrderManagerConstruction, FailedAllocationUndoesEverything) {
  for (int at : {0, 1}) {
    SCOPED_TRACE(at);
    g_inj.fail_new_at = at;
    ExpectCleanFailure<std::bad_alloc>(7, 0);
  }
}

TEST(LockOrderManagerConstruction, SuccessfulLifecycleReleasesAll) {
  g_inj.live_mutexes.clear();
  g_inj.live_arrays.clear();
  g_inj.armed = true;
  {
    Zr_LockOrderManager m(3);
    EXPECT_EQ(g_inj.live_mutexes.size(), 4u);
    EXPECT_EQ(g_inj.live_arrays.size(), 2u);
    EXPECT_EQ(m.Lock(5), 0);
    EXPECT_EQ(m.Unlock(5), 0);
  }
  g_inj.armed = false;
  EXPECT_TRUE(g_inj.live_mutexes.empty());
  EXPECT_TRUE(g_inj.live_arrays.empty());
}

}  // namespace
