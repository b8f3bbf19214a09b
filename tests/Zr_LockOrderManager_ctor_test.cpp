// A failed construction of Zr_LockOrderManager throws its error number and
// leaves nothing initialised.
// This program interposes pthread_mutex_init/destroy (which libzrshared calls
// through their dynamic symbols) to fail on demand and to track live
// mutexes; ASan's leak check covers the two arrays.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>

#include "Zr_ErrnoException.h"
#include "Zr_LockOrderManager.h"

#define REAL(f) reinterpret_cast<decltype(&f)>(dlsym(RTLD_NEXT, #f))

// g_inits counts init calls while >= 0; g_live counts the mutexes initialised
// since then and not destroyed.
static int g_inits = -1, g_fail_at = -1, g_live = 0;

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
  static auto real = REAL(pthread_mutex_init);
  if (g_inits >= 0 && g_inits++ == g_fail_at) return EAGAIN;
  g_live += g_inits >= 0;
  return real(m, a);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* m) {
  static auto real = REAL(pthread_mutex_destroy);
  g_live -= g_inits >= 0;
  return real(m);
}

TEST(LockOrderManagerConstruction, FailuresThrowAndUndoEverything) {
  // Lock count, the init call that fails (-1: none; the managed mutexes come
  // first, the bookkeeping mutex last) and the error number thrown (0: none).
  const int cases[][3] = {{0, -1, EINVAL}, {33, -1, EINVAL}, {1, -1, 0},     {32, -1, 0},
                          {5, 0, EAGAIN},  {5, 1, EAGAIN},   {5, 4, EAGAIN}, {5, 5, EAGAIN}};
  for (auto [locks, fail_at, err] : cases) {
    g_inits = 0, g_fail_at = fail_at;
    int thrown = 0;
    try {
      Zr_LockOrderManager m(locks);
    } catch (const Zr_ErrnoException& e) {
      thrown = e.GetErrno();
    }
    g_inits = -1;
    EXPECT_EQ(std::make_pair(thrown, g_live), std::make_pair(err, 0)) << locks << " " << fail_at;
  }
}
