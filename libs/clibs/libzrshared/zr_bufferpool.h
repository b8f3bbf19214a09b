// Zr_BufferPool: reuse of heap buffers by size.
//
// A pool keeps buffers that its user gives back (Free) and hands them out
// again (Malloc) for later requests of a similar size, so that hot paths stop
// going to the system allocator. Buffers come from and go back to malloc and
// free; the pool never copies data and never tracks buffers that are out with
// its user. Three limits cap what it keeps: a fixed number of chunk slots
// (one pooled buffer each), a per-buffer size limit and a byte total. Idle
// buffers are released only when the user calls FreeUnusedMemory, a
// second-chance sweep; the pool never trims itself.
//
//   Zr_BufferPool pool;
//   pool.Initialize(64, 8 << 20, 256 << 20, 10, 4096);  // slots, max buffer,
//                                                       // byte cap, slack %, slack bytes
//   void* buf; size_t size;
//   pool.Malloc(&buf, &size, 65536);   // size >= 65536 unless buf is null
//   ...
//   pool.Free(buf, size);              // pass back the size Malloc gave
//   pool.FreeUnusedMemory();           // now and then, e.g. once a second
//
// Fit rule. A pooled buffer of size S serves a request of R bytes
// (0 < R <= max chunk size) when S >= R and
//   S <= R + (slack_percent * R) / 100   or   S <= R + slack_bytes
// in 64-bit unsigned arithmetic (the division truncates). The search starts at
// the most recently pooled buffer and takes the first that fits.
//
// Misuse and broken invariants go to the assertion handler
// (<tvo/tvo_assert.h>) with the source path of zr_bufferpool.cpp; execution
// continues after the report and the pool refuses the bad step.
//
// Threads: no locks, no atomics. A pool is used by one thread at a time; a
// user that shares one serialises every call (getters included) with a lock
// of its own. Malloc writes the in-use list's cursor, so even a lookup is a
// write. A pool is neither copyable nor movable (its chunks point at its
// lists).
#ifndef ZR_BUFFERPOOL_H
#define ZR_BUFFERPOOL_H

#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

#include "zr_dlist.h"

// One slot of a pool: an item of the pool's lists that holds at most one
// pooled buffer. A chunk holds a buffer exactly when m_buffer is non-null,
// and then m_size is non-zero. Fields are public for inspection; the pool
// changes them only through the operations below.
class Zr_Chunk : public Zr_DList<Zr_Chunk>::Zr_item {
 public:
  // An empty slot: every field zero.
  Zr_Chunk() : m_buffer(NULL), m_size(0), m_recently_pooled(0) {}
  // Reports "m_buffer == __null" when destroyed while holding a buffer (the
  // buffer is then left alone, since its owner is unknown).
  ~Zr_Chunk() override;

  Zr_Chunk(const Zr_Chunk&) = delete;
  Zr_Chunk& operator=(const Zr_Chunk&) = delete;

  // The pooled buffer, or null for an empty slot.
  void* Buffer() const { return m_buffer; }
  // The pooled buffer's usable size in bytes, 0 for an empty slot.
  size_t Size() const { return m_size; }

  // Stores `buffer` (of `size` usable bytes) in this empty slot and marks it
  // recently pooled. Takes ownership. A slot that already holds a buffer is
  // reported ("m_buffer == __null", "m_size == 0") and left unchanged.
  void Set(void* buffer, size_t size);
  // Empties the slot without releasing the buffer: ownership passes to
  // whoever read Buffer() first. An empty slot is reported
  // ("m_buffer != __null", "m_size != 0") and left unchanged.
  void Clear();
  // Releases the buffer with free() and empties the slot. Same checks as
  // Clear.
  void Free();

  void* m_buffer;              // the pooled buffer; null while empty
  size_t m_size;               // its usable size; 0 while empty
  uint32_t m_recently_pooled;  // 1 when pooled after the latest FreeUnusedMemory
};

class Zr_BufferPool {
 public:
  // A pool with no slots and all limits zero: until Initialize it pools
  // nothing and serves every request from malloc.
  Zr_BufferPool();
  // Deinitialize(), then the lists' own emptiness checks.
  ~Zr_BufferPool();

  Zr_BufferPool(const Zr_BufferPool&) = delete;
  Zr_BufferPool& operator=(const Zr_BufferPool&) = delete;

  // Sets the limits and creates `nr_chunks` empty slots (0 slots: the pool
  // pools nothing). Returns 0. A pool that still has slots (Initialize
  // without Deinitialize in between) is reported
  // ("m_chunk_slots_free.IsEmpty()", "m_chunk_slots_in_use.IsEmpty()") and
  // left as it was; the call then returns -1 with errno EINVAL. If creating a
  // slot throws std::bad_alloc, the exception propagates and the slots made
  // so far stay until Deinitialize or destruction.
  int32_t Initialize(uint32_t nr_chunks, uint32_t max_chunk_size, uint64_t max_total_in_pool,
                     uint32_t slack_percent, uint32_t slack_bytes);

  // Releases every pooled buffer and deletes every slot. Returns 0. Limits
  // and statistics keep their values; Initialize may be called again.
  int32_t Deinitialize();

  // Stores in *buffer a buffer of at least `requested` bytes and in *size
  // its usable size (which may exceed `requested` by the fit tolerance). The
  // caller owns it until it goes back through Free (or free()). On
  // allocation failure *buffer is null, *size 0 and errno is malloc's
  // (ENOMEM); nothing else here touches errno. A request of 0 returns
  // malloc(0) with *size 0 and changes no statistic.
  void Malloc(void** buffer, size_t* size, size_t requested);

  // Takes back `buffer` of `size` usable bytes (the size Malloc or Enlarge
  // gave, or at most the allocated size of a buffer from malloc): pools it
  // when a slot is free, size <= max chunk size and the byte cap allows,
  // otherwise releases it with free(). A null buffer is ignored; a size of 0
  // releases the buffer without touching any statistic.
  void Free(void* buffer, size_t size);

  // Makes sure *buffer holds at least `requested` bytes. When it already
  // does, nothing changes. Otherwise the old buffer goes through Free and a
  // new one comes from Malloc: contents are NOT kept, and on allocation
  // failure *buffer is null and *size 0. A null *buffer counts as no buffer,
  // whatever *size says.
  void Enlarge(void** buffer, size_t* size, size_t requested);

  // Second-chance sweep: releases the pooled buffers that were already
  // pooled at the previous call and stayed since, and clears the mark of the
  // others, keeping their most-recent-first order.
  void FreeUnusedMemory();

  // Number of pooled buffers.
  uint64_t GetNrUnusedChunks() const;
  // Bytes held by pooled buffers.
  uint64_t GetNrUnusedBytes() const;

  // Statistics, kept across Deinitialize:
  // bytes asked of Malloc (non-zero requests),
  uint64_t GetBytesRequested() const { return m_bytes_requested; }
  // bytes Malloc obtained from malloc on a miss,
  uint64_t GetBytesAllocated() const { return m_bytes_allocated; }
  // bytes handed to Free (non-null buffer, non-zero size),
  uint64_t GetBytesReturned() const { return m_bytes_returned; }
  // bytes that Free and FreeUnusedMemory gave back to free().
  uint64_t GetBytesReleased() const { return m_bytes_released; }

 private:
  // Access to the lists and the byte total for tests, which check invariants
  // and stage broken states.
  friend struct Zr_BufferPoolInspector;

  // Malloc past its fast path: the first-fit search, and malloc on a miss.
  // Its reports name `caller`.
  void MallocSearch(void** buffer, size_t* size, size_t requested, const char* caller);

  uint32_t m_slack_percent;
  uint32_t m_slack_bytes;
  uint32_t m_max_chunk_size;
  uint64_t m_max_total_in_pool;
  Zr_DList<Zr_Chunk> m_chunk_slots_free;    // empty slots
  Zr_DList<Zr_Chunk> m_chunk_slots_in_use;  // pooled buffers, most recent first
  uint64_t m_bytes_requested;
  uint64_t m_bytes_allocated;
  uint64_t m_bytes_returned;
  uint64_t m_bytes_released;
  uint64_t m_total_in_pool;  // sum of m_size over m_chunk_slots_in_use
};

#endif  // ZR_BUFFERPOOL_H
