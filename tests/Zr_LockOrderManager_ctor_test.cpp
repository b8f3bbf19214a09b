// A failed construction of Zr_LockOrderManager leaves nothing initialised.
// This program interposes pthread_mutex_init/destroy and array new (which
// libzrshared calls through its dynamic symbols) to fail on demand and to
// track live mutexes; ASan's leak check covers the arrays.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <new>
#include <set>

#include "Zr_ErrnoException.h"
#include "Zr_LockOrderManager.h"

namespace {
bool g_armed = false;
int g_inits = 0, g_news = 0, g_fail_init_at = -1, g_fail_new_at = -1;
std::set<void*> g_live;  // mutexes initialised while armed and not destroyed
}  // namespace

extern "C" int pthread_mutex_init(pthread_mutex_t* m, const pthread_mutexattr_t* a) {
  static auto real = reinterpret_cast<int (*)(pthread_mutex_t*, const pthread_mutexattr_t*)>(
      dlsym(RTLD_NEXT, "pthread_mutex_init"));
  if (g_armed && g_inits++ == g_fail_init_at) return EAGAIN;
  if (g_armed) g_live.insert(m);
  return real(m, a);
}

extern "C" int pthread_mutex_destroy(pthread_mutex_t* m) {
  static auto real =
      reinterpret_cast<int (*)(pthread_mutex_t*)>(dlsym(RTLD_NEXT, "pthread_mutex_destroy"));
  g_live.erase(m);
  return real(m);
}

void* operator new[](size_t n) {
  void* p = (g_armed && g_news++ == g_fail_new_at) ? nullptr : malloc(n ? n : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

// Constructs 5 locks with call number `init_at` of pthread_mutex_init (or
// `new_at` of array new) failing; returns the errno thrown, -1 for bad_alloc.
int FailedConstruction(int init_at, int new_at) {
  g_inits = g_news = 0;
  g_fail_init_at = init_at;
  g_fail_new_at = new_at;
  g_armed = true;
  int result = 0;
  try {
    Zr_LockOrderManager m(5);
  } catch (const Zr_ErrnoException& e) {
    result = e.GetErrno();
  } catch (const std::bad_alloc&) {
    result = -1;
  }
  g_armed = false;
  return result;
}

TEST(LockOrderManagerConstruction, FailuresUndoEverything) {
  // Managed mutexes first (init calls 0..4), the bookkeeping mutex last (5).
  for (int at : {0, 1, 4, 5}) {
    EXPECT_EQ(FailedConstruction(at, -1), EAGAIN) << at;
    EXPECT_TRUE(g_live.empty()) << g_live.size() << " mutexes left after failing init " << at;
  }
  for (int at : {0, 1}) EXPECT_EQ(FailedConstruction(-1, at), -1) << at;
  EXPECT_EQ(FailedConstruction(-1, -1), 0);
  EXPECT_TRUE(g_live.empty());
}

}  // namespace
