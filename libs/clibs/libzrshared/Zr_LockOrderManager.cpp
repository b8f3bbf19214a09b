#include "Zr_LockOrderManager.h"

#include <errno.h>

#include "Zr_ErrnoException.h"

TVO_REVISION_IDENT();

namespace {

inline bool IsNamed(unsigned int mask, unsigned long lock) { return ((mask >> lock) & 1u) != 0; }

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

bool Zr_LockOrderManager::ValidMask(unsigned int mask) const {
  // 64-bit shift: with 32 locks a 32-bit shift by 32 would be undefined.
  return (uint64_t(mask) >> m_num_locks) == 0;
}

int Zr_LockOrderManager::Lock(unsigned int mask) {
  const pthread_t self = pthread_self();
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return -1;
  }
  if (mask == 0) return 0;

  // h: one above the highest lock this thread holds. The scan reads without
  // the bookkeeping mutex, which keeps Lock+Unlock at three mutex round trips
  // instead of four. That is sound because only this thread sets or clears
  // its own bits and entries, so it always sees them as it left them; and a
  // bit seen set for another holder was published (release, under the
  // mutex) after that holder's entry, so the entry read next is never a
  // stale copy of our own id.
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
  for (unsigned long i = h; i < m_num_locks; ++i)
    if (IsNamed(mask, i)) pthread_mutex_lock(&m_locks[i]);

  // Stores are atomic because the scan above reads without the mutex.
  pthread_mutex_lock(&m_state_mutex);
  for (unsigned long i = h; i < m_num_locks; ++i) {
    if (IsNamed(mask, i)) __atomic_store_n(&m_owners[i], self, __ATOMIC_RELAXED);
  }
  __atomic_store_n(&m_held_mask, m_held_mask | mask, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&m_state_mutex);
  return 0;
}

int Zr_LockOrderManager::Unlock(unsigned int mask) {
  const pthread_t self = pthread_self();
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return -1;
  }
  pthread_mutex_lock(&m_state_mutex);
  bool all_mine = (m_held_mask & mask) == mask;
  for (unsigned long i = 0; all_mine && i < m_num_locks; ++i)
    if (IsNamed(mask, i) && m_owners[i] != self) all_mine = false;
  if (all_mine) __atomic_store_n(&m_held_mask, m_held_mask & ~mask, __ATOMIC_RELEASE);
  pthread_mutex_unlock(&m_state_mutex);
  if (!all_mine) {
    errno = EINVAL;
    return -1;
  }
  // The bits are already clear, so a thread that wins a mutex below never
  // sees it recorded as ours.
  for (unsigned long i = 0; i < m_num_locks; ++i)
    if (IsNamed(mask, i)) pthread_mutex_unlock(&m_locks[i]);
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
  pthread_mutex_lock(&m_state_mutex);
  held_mask = m_held_mask;
  if (owners != NULL)
    for (unsigned long i = 0; i < m_num_locks; ++i) owners[i] = m_owners[i];
  pthread_mutex_unlock(&m_state_mutex);
  return 0;
}

bool Zr_LockOrderManager::AssertOwner(unsigned int mask, unsigned long thread) {
  if (!ValidMask(mask)) {
    errno = EINVAL;
    return false;
  }
  pthread_mutex_lock(&m_state_mutex);
  bool owns = (m_held_mask & mask) == mask;
  for (unsigned long i = 0; owns && i < m_num_locks; ++i)
    if (IsNamed(mask, i) && m_owners[i] != thread) owns = false;
  pthread_mutex_unlock(&m_state_mutex);
  return owns;
}
