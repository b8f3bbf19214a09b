// A failed construction of Zr_LockOrderManager leaves nothing initialised.
// This program interposes pthread_mutex_init/destroy (which libzrshared calls
// through their dynamic symbols) to fail on demand and to track live
// mutexes; ASan's leak check covers the two arrays.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "Zr_ErrnoException.h"
#include "Zr_LockOrderManager.h"

static int g_inits = -1, g_fail_at = -1;  // g_inits counts init calls while >= 0
static int g_live = 0;                    // mutexes initialised since then and not destroyed

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
  static auto real =
      reinterpret_cast<decltype(&pthread_mutex_init)>(dlsym(RTLD_NEXT, "pthread_mutex_init"));
  if (g_inits >= 0 && g_inits++ == g_fail_at) return EAGAIN;
  g_live += g_inits >= 0;
  return real(m, a);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* m) {
  static auto real =
      reinterpret_cast<decltype(&pthread_mutex_destroy)>(dlsym(RTLD_NEXT, "pthread_mutex_destroy"));
  g_live -= g_inits >= 0;
  return real(m);
}

TEST(LockOrderManagerConstruction, FailedMutexInitUndoesEverything) {
  // Managed mutexes first (init calls 0..4), the bookkeeping mutex last (5).
  for (int at : {0, 1, 4, 5, -1}) {
    g_inits = 0, g_fail_at = at;
    int thrown = 0;
    try {
      Zr_LockOrderManager m(5);
    } catch (const Zr_ErrnoException& e) {
      thrown = e.GetErrno();
    }
    g_inits = -1;
    EXPECT_EQ(thrown, at < 0 ? 0 : EAGAIN) << at;
    EXPECT_EQ(g_live, 0) << "mutexes left after failing init " << at;
  }
}
