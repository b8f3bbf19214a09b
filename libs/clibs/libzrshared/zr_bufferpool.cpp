#include "zr_bufferpool.h"

#include <errno.h>
#include <stdlib.h>

TVO_REVISION_IDENT();

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
  if (requested == 0) {
    *size = 0;
    *buffer = malloc(0);
    return;
  }
  m_bytes_requested += requested;
  if (requested <= m_max_chunk_size) {
    for (Zr_Chunk* c = m_chunk_slots_in_use.GetFirst(); c != NULL;
         c = m_chunk_slots_in_use.GetNext()) {
      bool has_buffer = TVO_CHECK(c->Buffer() != NULL);
      bool has_size = TVO_CHECK(c->Size() != 0);
      if (!has_buffer || !has_size) continue;  // never hand out a broken slot
      const uint64_t s = c->Size();
      // s <= requested + slack_percent * requested / 100 (truncating) is
      // (s - requested) * 100 <= slack_percent * requested, without the
      // division; all below 2^64 since requested < 2^32.
      if (s < requested) continue;
      const uint64_t excess = s - requested;
      if (excess > m_slack_bytes && excess * 100 > uint64_t(m_slack_percent) * requested) continue;
      // A total below the size means the books are already wrong; clamping
      // keeps it from wrapping to a value that would stop all pooling.
      if (TVO_CHECK(m_total_in_pool >= c->Size()))
        m_total_in_pool -= c->Size();
      else
        m_total_in_pool = 0;
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
      m_total_in_pool <= m_max_total_in_pool && size <= m_max_total_in_pool - m_total_in_pool;
  if (fits_cap && size <= m_max_chunk_size && !m_chunk_slots_free.IsEmpty()) {
    Zr_Chunk* c = m_chunk_slots_free.RemoveFirst();
    m_total_in_pool += size;
    c->Set(buffer, size);
    m_chunk_slots_in_use.Prepend(c);
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
    if (TVO_CHECK(m_total_in_pool >= c->Size()))  // clamped as in Malloc
      m_total_in_pool -= c->Size();
    else
      m_total_in_pool = 0;
    m_bytes_released += c->Size();
    c->Free();
    m_chunk_slots_free.Append(c);
  }
  while (Zr_Chunk* c = survivors.RemoveFirst()) m_chunk_slots_in_use.Append(c);
}

uint64_t Zr_BufferPool::GetNrUnusedChunks() const { return m_chunk_slots_in_use.GetCount(); }

uint64_t Zr_BufferPool::GetNrUnusedBytes() const { return m_total_in_pool; }
