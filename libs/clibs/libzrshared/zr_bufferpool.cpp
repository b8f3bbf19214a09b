#include "zr_bufferpool.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>

TVO_REVISION_IDENT();

// TVO_CHECK for a check made out of line on behalf of another function: the
// report carries that function's signature text, `function`.
#define CHECK_FOR(function, ...) \
  ((__VA_ARGS__)                 \
       ? true                    \
       : (__tvo_assert_fail(TVO_ASSERT_XSTR_(__VA_ARGS__), __FILE__, __LINE__, function), false))

namespace {

// The fit rule. A pooled buffer of S bytes serves a request of R bytes when
// S >= R and S <= R + slack_percent * R / 100 (truncating) or
// S <= R + slack_bytes: when its excess S - R is within the larger
// tolerance. R is at most the 32-bit size limit, so slack_percent * R stays
// below 2^64.
class FitRule {
 public:
  FitRule(uint64_t requested, uint64_t slack_percent, uint64_t slack_bytes)
      : m_requested(requested),
        m_tolerance(std::max(slack_percent * requested / 100, slack_bytes)) {}
  bool Fits(uint64_t size) const {
    return size >= m_requested && size - m_requested <= m_tolerance;
  }

 private:
  uint64_t m_requested;
  uint64_t m_tolerance;
};

// Takes a chunk's `size` off the pool's byte `total`. `covered` is the
// caller's check that the total covers the size; when it does not, the
// books are already wrong and the total is clamped to 0 rather than wrapped
// to a value that would refuse every later Free.
inline void Unaccount(uint64_t& total, uint64_t size, bool covered) {
  total = covered ? total - size : 0;
}

// Zr_DList's RemoveFirst, Prepend and Append step for step, without their
// checks. The fast paths below use them only after establishing that every
// check would pass, so the lists end up as the checked operations would
// leave them, with nothing to report. Left out, the checks' reporting calls
// no longer make those paths save and restore registers, which was a
// quarter of a Malloc+Free pair.
template <class T>
inline void UncheckedRemoveFirst(Zr_DList<T>& list) {
  T* const it = list.m_begin;
  list.m_begin = it->m_next;
  if (list.m_begin != NULL)
    list.m_begin->m_prev = NULL;
  else
    list.m_end = NULL;
  it->m_next = NULL;
  it->m_owner = NULL;
  list.m_count--;
}

// Prepend when `at_front`, else Append. `it` is unlinked, its links null
// (which the checked operations check first), so the outer one stays null.
template <class T>
inline void UncheckedInsert(Zr_DList<T>& list, T* it, bool at_front) {
  T*& near_end = at_front ? list.m_begin : list.m_end;
  T*& far_end = at_front ? list.m_end : list.m_begin;
  it->m_owner = &list;
  (at_front ? it->m_next : it->m_prev) = near_end;
  if (near_end != NULL) (at_front ? near_end->m_prev : near_end->m_next) = it;
  near_end = it;
  if (far_end == NULL) far_end = it;
  list.m_count++;
}

// Free's pooling step with every check made, for when one would report.
// Out of line, so that Free's fast path needs no stack frame.
__attribute__((noinline)) void PoolChecked(Zr_DList<Zr_Chunk>& slots_free,
                                           Zr_DList<Zr_Chunk>& slots_in_use, uint64_t& total,
                                           void* buffer, size_t size) {
  Zr_Chunk* const c = slots_free.RemoveFirst();
  total += size;
  c->Set(buffer, size);
  slots_in_use.Prepend(c);
}

}  // namespace

// ---------------------------------------------------------------------------
// Zr_Chunk

Zr_Chunk::~Zr_Chunk() { TVO_ASSERT(m_buffer == NULL); }

void Zr_Chunk::Set(void* buffer, size_t size) {
  bool buffer_empty = TVO_CHECK(m_buffer == NULL);
  bool size_empty = TVO_CHECK(m_size == 0);
  // Overwriting a held buffer would leak it.
  if (!buffer_empty || !size_empty) return;
  m_buffer = buffer;
  m_size = size;
  m_recently_pooled = 1;
}

void Zr_Chunk::Clear() {
  TVO_ASSERT(m_buffer != NULL);
  TVO_ASSERT(m_size != 0);
  m_buffer = NULL;
  m_size = 0;
}

void Zr_Chunk::Free() {
  TVO_ASSERT(m_buffer != NULL);
  TVO_ASSERT(m_size != 0);
  free(m_buffer);
  m_buffer = NULL;
  m_size = 0;
}

// ---------------------------------------------------------------------------
// Zr_BufferPool

Zr_BufferPool::Zr_BufferPool()
    : m_slack_percent(0),
      m_slack_bytes(0),
      m_max_chunk_size(0),
      m_max_total_in_pool(0),
      m_bytes_requested(0),
      m_bytes_allocated(0),
      m_bytes_returned(0),
      m_bytes_released(0),
      m_total_in_pool(0) {}

Zr_BufferPool::~Zr_BufferPool() { Deinitialize(); }

int32_t Zr_BufferPool::Initialize(uint32_t nr_chunks, uint32_t max_chunk_size,
                                  uint64_t max_total_in_pool, uint32_t slack_percent,
                                  uint32_t slack_bytes) {
  bool free_empty = TVO_CHECK(m_chunk_slots_free.IsEmpty());
  bool in_use_empty = TVO_CHECK(m_chunk_slots_in_use.IsEmpty());
  // New limits under buffers pooled with the old ones would break the size
  // and byte caps those buffers were admitted under.
  if (!free_empty || !in_use_empty) {
    errno = EINVAL;
    return -1;
  }
  m_max_chunk_size = max_chunk_size;
  m_max_total_in_pool = max_total_in_pool;
  m_slack_percent = slack_percent;
  m_slack_bytes = slack_bytes;
  for (uint32_t i = 0; i < nr_chunks; ++i) m_chunk_slots_free.Prepend(new Zr_Chunk());
  return 0;
}

int32_t Zr_BufferPool::Deinitialize() {
  while (Zr_Chunk* c = m_chunk_slots_in_use.RemoveFirst()) {
    c->Free();
    delete c;
  }
  while (Zr_Chunk* c = m_chunk_slots_free.RemoveFirst()) delete c;
  m_total_in_pool = 0;
  return 0;
}

void Zr_BufferPool::Malloc(void** buffer, size_t* size, size_t requested) {
  // Fast path: the newest pooled buffer fits and none of the checks below
  // would report. Then this is what the general path does, in its order.
  // The newest size needs no test for 0: a fit is at least `requested`.
  Zr_Chunk* const newest = m_chunk_slots_in_use.m_begin;
  if (requested != 0 && requested <= m_max_chunk_size && newest != NULL &&
      newest->m_buffer != NULL &&
      FitRule(requested, m_slack_percent, m_slack_bytes).Fits(newest->m_size) &&
      m_total_in_pool >= newest->m_size && newest->m_owner == &m_chunk_slots_in_use &&
      newest->m_prev == NULL) {
    void* const found = newest->m_buffer;
    const uint64_t s = newest->m_size;
    m_bytes_requested += requested;
    m_chunk_slots_in_use.m_current = newest;  // where GetFirst leaves it
    m_total_in_pool -= s;
    newest->m_buffer = NULL;  // Clear
    newest->m_size = 0;
    UncheckedRemoveFirst(m_chunk_slots_in_use);  // Remove of the first chunk
    UncheckedInsert(m_chunk_slots_free, newest, /*at_front=*/false);
    *buffer = found;
    *size = s;
    return;
  }
  MallocSearch(buffer, size, requested, __PRETTY_FUNCTION__);
}

// Out of line, so that Malloc's fast path needs no stack frame. Its reports
// carry `caller`, Malloc's signature, as the checks are Malloc's.
__attribute__((noinline)) void Zr_BufferPool::MallocSearch(void** buffer, size_t* size,
                                                           size_t requested, const char* caller) {
  if (requested == 0) {
    *size = 0;
    *buffer = malloc(0);
    return;
  }
  m_bytes_requested += requested;
  if (requested <= m_max_chunk_size) {
    const FitRule rule(requested, m_slack_percent, m_slack_bytes);
    for (Zr_Chunk* c = m_chunk_slots_in_use.GetFirst(); c != NULL;
         c = m_chunk_slots_in_use.GetNext()) {
      bool has_buffer = CHECK_FOR(caller, c->Buffer() != NULL);
      bool has_size = CHECK_FOR(caller, c->Size() != 0);
      if (!has_buffer || !has_size) continue;  // never hand out a broken slot
      const uint64_t s = c->Size();
      if (!rule.Fits(s)) continue;
      Unaccount(m_total_in_pool, s, CHECK_FOR(caller, m_total_in_pool >= c->Size()));
      void* const found = c->Buffer();
      c->Clear();
      m_chunk_slots_in_use.Remove(c);
      m_chunk_slots_free.Append(c);
      // Stored last: *size may alias any of the pool's 64-bit fields as far
      // as the compiler knows, which would force reloads of all of them.
      *buffer = found;
      *size = s;
      return;
    }
  }
  *size = 0;
  *buffer = malloc(requested);
  if (*buffer == NULL) return;
  m_bytes_allocated += requested;
  *size = requested;
}

void Zr_BufferPool::Free(void* buffer, size_t size) {
  if (buffer == NULL) return;
  if (size == 0) {
    free(buffer);
    return;
  }
  m_bytes_returned += size;
  // Written as a subtraction so that a huge size cannot wrap the sum past
  // the cap.
  const bool fits_cap =
      size <= m_max_total_in_pool && m_total_in_pool <= m_max_total_in_pool - size;
  if (fits_cap && size <= m_max_chunk_size && !m_chunk_slots_free.IsEmpty()) {
    Zr_Chunk* const c = m_chunk_slots_free.m_begin;
    if (c->m_prev == NULL && c->m_buffer == NULL && c->m_size == 0) {
      // Fast path: no check below would report.
      UncheckedRemoveFirst(m_chunk_slots_free);
      m_total_in_pool += size;
      c->m_buffer = buffer;  // Set
      c->m_size = size;
      c->m_recently_pooled = 1;
      UncheckedInsert(m_chunk_slots_in_use, c, /*at_front=*/true);
      return;
    }
    PoolChecked(m_chunk_slots_free, m_chunk_slots_in_use, m_total_in_pool, buffer, size);
    return;
  }
  m_bytes_released += size;
  free(buffer);
}

void Zr_BufferPool::Enlarge(void** buffer, size_t* size, size_t requested) {
  if (*buffer == NULL) {
    // No buffer means nothing to keep, whatever *size claims; trusting a
    // stale size would leave the caller with a null buffer.
    *size = 0;
    if (requested == 0) {
      *buffer = malloc(0);
      return;
    }
  } else if (requested <= *size) {
    return;
  }
  Free(*buffer, *size);
  *buffer = NULL;
  *size = 0;
  Malloc(buffer, size, requested);
}

void Zr_BufferPool::FreeUnusedMemory() {
  Zr_DList<Zr_Chunk> survivors;
  while (Zr_Chunk* c = m_chunk_slots_in_use.RemoveFirst()) {
    if (c->m_recently_pooled == 1) {
      c->m_recently_pooled = 0;
      survivors.Append(c);
      continue;
    }
    Unaccount(m_total_in_pool, c->Size(), TVO_CHECK(m_total_in_pool >= c->Size()));
    m_bytes_released += c->Size();
    c->Free();
    m_chunk_slots_free.Append(c);
  }
  while (Zr_Chunk* c = survivors.RemoveFirst()) m_chunk_slots_in_use.Append(c);
}

uint64_t Zr_BufferPool::GetNrUnusedChunks() const { return m_chunk_slots_in_use.GetCount(); }

uint64_t Zr_BufferPool::GetNrUnusedBytes() const { return m_total_in_pool; }
