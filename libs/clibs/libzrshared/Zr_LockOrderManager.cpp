#include "Zr_LockOrderManager.h"

#include <errno.h>

#include "Zr_ErrnoException.h"

TVO_REVISION_IDENT();

namespace {

// Holds a mutex for its lifetime, so that no return path can leave it held.
class Holding {
 public:
  explicit Holding(pthread_mutex_t* mutex) : m_mutex(mutex) { pthread_mutex_lock(m_mutex); }
  ~Holding() { pthread_mutex_unlock(m_mutex); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

 private:
  pthread_mutex_t* m_mutex;
};

// Calls `f(i)` for every lock number i named in `mask`, ascending.
template <class F>
inline void ForEachNamed(uint32_t mask, F f) {
  for (; mask != 0; mask &= mask - 1) f(unsigned(__builtin_ctz(mask)));
}

}  // namespace

Zr_LockOrderManager::Zr_LockOrderManager(unsigned long num_locks)
    : m_num_locks(num_locks), m_held_mask(0), m_owners(NULL), m_locks(NULL) {
  if (num_locks == 0 || num_locks > 32) throw Zr_ErrnoException(EINVAL);
  unsigned long initialised = 0;
  // No destructor runs for a constructor that throws, so everything made so
  // far is undone here before the exception leaves.
  try {
    m_owners = new pthread_t[num_locks];
    m_locks = new pthread_mutex_t[num_locks];
    for (; initialised < num_locks; ++initialised) {
      m_owners[initialised] = 0;
      int rc = pthread_mutex_init(&m_locks[initialised], NULL);
      if (rc != 0) throw Zr_ErrnoException(rc);
    }
    int rc = pthread_mutex_init(&m_state_mutex, NULL);
    if (rc != 0) throw Zr_ErrnoException(rc);
  } catch (...) {
    for (unsigned long i = 0; i < initialised; ++i) pthread_mutex_destroy(&m_locks[i]);
    delete[] m_locks;
    m_locks = NULL;
    delete[] m_owners;
    m_owners = NULL;
    throw;
  }
}

Zr_LockOrderManager::~Zr_LockOrderManager() {
  pthread_mutex_destroy(&m_state_mutex);
  for (unsigned long i = 0; i < m_num_locks; ++i) pthread_mutex_destroy(&m_locks[i]);
  delete[] m_locks;
  delete[] m_owners;
}

int Zr_LockOrderManager::Lock(unsigned int mask) {
  const pthread_t self = pthread_self();
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return -1;
  }
  if (mask == 0) return 0;

  // h: one above the highest lock this thread holds. The scan reads without
  // the bookkeeping mutex. That is sound because only this thread sets or
  // clears its own bits and entries, so it always sees them as it left them;
  // and a bit seen set for another holder was published (release) after that
  // holder's entry, so the entry read next is never a stale copy of our own
  // id.
  unsigned long h = 0;
  for (uint32_t held = __atomic_load_n(&m_held_mask, __ATOMIC_ACQUIRE); held != 0;) {
    const unsigned long top = 31 - __builtin_clz(held);
    if (__atomic_load_n(&m_owners[top], __ATOMIC_RELAXED) == self) {
      h = top + 1;
      break;
    }
    held &= ~(1u << top);
  }

  if ((uint64_t(mask) & ((uint64_t(1) << h) - 1)) != 0) {
    errno = EDEADLK;
    return -1;
  }
  // Ascending order, without the bookkeeping mutex: this may block.
  ForEachNamed(mask, [this](unsigned i) { pthread_mutex_lock(&m_locks[i]); });

  // Entries are written only here, under the mutex, so a reader that holds
  // it (GetLockState, AssertOwner) sees every entry stay put. Bits are also
  // cleared by Unlock without the mutex, hence the atomic read-modify-write.
  const Holding state(&m_state_mutex);
  ForEachNamed(
      mask, [this, self](unsigned i) { __atomic_store_n(&m_owners[i], self, __ATOMIC_RELAXED); });
  __atomic_fetch_or(&m_held_mask, mask, __ATOMIC_RELEASE);
  return 0;
}

int Zr_LockOrderManager::Unlock(unsigned int mask) {
  const pthread_t self = pthread_self();
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return -1;
  }
  if (mask == 0) return 0;
  // Checked and cleared without the bookkeeping mutex, by the reasoning of
  // Lock's scan: bits and entries of the caller's own locks change only in
  // its own calls, and a lock held by another thread never shows our id. A
  // check that fails changes nothing; one that passes clears the bits in one
  // atomic step, so a reader under the mutex sees all of them held or none.
  const uint32_t held = __atomic_load_n(&m_held_mask, __ATOMIC_ACQUIRE);
  bool all_mine = (held & mask) == mask;
  ForEachNamed(mask, [&](unsigned i) {
    all_mine = all_mine && __atomic_load_n(&m_owners[i], __ATOMIC_RELAXED) == self;
  });
  if (!all_mine) {
    errno = EINVAL;
    return -1;
  }
  // The bits are cleared first, so a thread that wins a mutex below never
  // sees it recorded as ours.
  __atomic_fetch_and(&m_held_mask, ~mask, __ATOMIC_RELEASE);
  ForEachNamed(mask, [this](unsigned i) { pthread_mutex_unlock(&m_locks[i]); });
  return 0;
}

unsigned long Zr_LockOrderManager::GetNumLocks() { return m_num_locks; }

int Zr_LockOrderManager::GetLockState(unsigned int& held_mask, unsigned long* owners,
                                      unsigned long capacity) {
  if (owners != NULL && capacity < m_num_locks) {
    errno = ENOBUFS;
    return -1;
  }
  if (owners == NULL && capacity != 0) {
    errno = EINVAL;
    return -1;
  }
  // Under the mutex no entry changes, and the mask is read once: the
  // snapshot is the state at that read.
  const Holding state(&m_state_mutex);
  held_mask = __atomic_load_n(&m_held_mask, __ATOMIC_ACQUIRE);
  if (owners != NULL)
    for (unsigned long i = 0; i < m_num_locks; ++i) owners[i] = m_owners[i];
  return 0;
}

bool Zr_LockOrderManager::AssertOwner(unsigned int mask, unsigned long thread) {
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return false;
  }
  const Holding state(&m_state_mutex);
  bool owns = (__atomic_load_n(&m_held_mask, __ATOMIC_ACQUIRE) & mask) == mask;
  ForEachNamed(mask, [&](unsigned i) { owns = owns && m_owners[i] == thread; });
  return owns;
}
