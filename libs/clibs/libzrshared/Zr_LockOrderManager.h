// Zr_LockOrderManager: numbered mutexes that can only be taken in ascending
// order, so that code built on them cannot deadlock on them.
//
// The manager owns 1 to 32 mutexes, numbered from 0. A call names locks by a
// 32-bit mask (bit i is lock i), so one call can take or release several. A
// thread may take only locks numbered above every lock it already holds; a
// request that breaks this order fails at once with EDEADLK instead of
// blocking (re-taking a held lock included, since the mutexes are not
// recursive). Locks may be released in any order and grouping. The manager
// records which thread holds which lock, so any thread can ask whether a
// thread holds given locks.
//
//   Zr_LockOrderManager locks(3);      // throws Zr_ErrnoException on failure
//   enum { kIndex = 1u << 0, kData = 1u << 2 };
//   if (locks.Lock(kIndex | kData) == 0) {   // takes 0, then 2
//     ...
//     locks.Unlock(kIndex | kData);
//   }
//
// A mask is valid when it names no lock at or above GetNumLocks(); with 32
// locks every mask is valid. Errors are reported by return value and errno
// only; after construction the manager never throws and never asserts.
//
// Threads: every operation may be called from any thread at any time between
// construction and destruction. One internal bookkeeping mutex is held only
// for short sections and never while a caller waits for a managed lock, so it
// cannot take part in a deadlock. Destroy the manager only when no thread
// holds any of its locks and no call is running. Not copyable.
#ifndef ZR_LOCKORDERMANAGER_H
#define ZR_LOCKORDERMANAGER_H

#include <pthread.h>
#include <stdint.h>
#include <tvo/revision.h>

class Zr_LockOrderManager {
 public:
  // Creates `num_locks` free locks (default mutex attributes). Throws
  // Zr_ErrnoException with EINVAL when num_locks is 0 or above 32, and with
  // pthread_mutex_init's result when a mutex cannot be initialised; a failed
  // allocation throws std::bad_alloc. Nothing is leaked on any of these.
  explicit Zr_LockOrderManager(unsigned long num_locks);

  // Destroys the bookkeeping mutex, then the managed mutexes. No lock may be
  // held and no call may be running.
  virtual ~Zr_LockOrderManager();

  Zr_LockOrderManager(const Zr_LockOrderManager&) = delete;
  Zr_LockOrderManager& operator=(const Zr_LockOrderManager&) = delete;

  // Takes every lock named in `mask` for the calling thread, in ascending
  // order, blocking while another thread holds one. Returns 0 (also for a
  // mask of 0), or -1 with errno EINVAL for an invalid mask, or EDEADLK when
  // the mask names a lock at or below the highest lock the caller holds. On
  // -1 nothing has been taken.
  virtual int Lock(unsigned int mask);

  // Releases every lock named in `mask`; the caller must hold all of them.
  // Returns 0 (also for a mask of 0), or -1 with errno EINVAL for an invalid
  // mask or a named lock the caller does not hold; on -1 nothing is released.
  virtual int Unlock(unsigned int mask);

  // The number of managed locks, fixed at construction.
  virtual unsigned long GetNumLocks();

  // Snapshot over all threads: stores the mask of held locks in `held_mask`
  // and, when `owners` is non-null, copies GetNumLocks() entries of the owner
  // table into it (entry i names lock i's most recent holder; it means
  // something only while bit i of held_mask is set, and is 0 for a lock never
  // taken). Returns 0, or -1 with errno ENOBUFS when `capacity` (in entries)
  // is below GetNumLocks(), or EINVAL for a null `owners` with a non-zero
  // capacity; on -1 nothing is written.
  virtual int GetLockState(unsigned int& held_mask, unsigned long* owners, unsigned long capacity);

  // True when thread `thread` (a pthread_self() value) holds every lock named
  // in `mask` (a mask of 0 gives true). False, with errno EINVAL, for an
  // invalid mask; false without touching errno otherwise.
  virtual bool AssertOwner(unsigned int mask, unsigned long thread);

 private:
  // A mask is valid when it names no lock at or above m_num_locks; the
  // shift is 64-bit because with 32 locks a 32-bit shift by 32 would be
  // undefined.
  bool ValidMask(unsigned int mask) const { return (uint64_t(mask) >> m_num_locks) == 0; }

  unsigned long m_num_locks;      // 1..32, fixed
  uint32_t m_held_mask;           // bit i set while lock i is held
  pthread_t* m_owners;            // [m_num_locks] latest holder of each lock
  pthread_mutex_t* m_locks;       // [m_num_locks] the managed mutexes
  pthread_mutex_t m_state_mutex;  // guards m_held_mask and m_owners
};

#endif  // ZR_LOCKORDERMANAGER_H
