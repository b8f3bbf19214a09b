// Drives a Zr_BufferPool with operations decoded from the input and checks
// its invariants after each: the lists agree with the counters, the byte cap
// and the size limit hold, and no buffer is pooled while it is out or handed
// out twice. Every grant is written to its full reported size, so ASan sees
// a size larger than the buffer. Any broken invariant traps.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

#include "zr_bufferpool.h"

struct Zr_BufferPoolInspector {
  static const Zr_DList<Zr_Chunk>& InUse(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use; }
  static uint64_t FreeSlots(const Zr_BufferPool& p) { return p.m_chunk_slots_free.GetCount(); }
};

namespace {

struct Input {
  const uint8_t* p;
  size_t n;
  uint32_t Take(uint32_t bytes) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < bytes && n > 0; ++i, ++p, --n) v = v << 8 | *p;
    return v;
  }
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

struct Grant {
  void* buf;
  size_t size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  const uint32_t slots = in.Take(1) % 16, max_chunk = in.Take(2), pct = in.Take(1) % 200,
                 slack = in.Take(2);
  const uint64_t cap = in.Take(3);
  Zr_BufferPool pool;
  pool.Initialize(slots, max_chunk, cap, pct, slack);
  std::vector<Grant> out;
  while (in.n > 0) {
    const uint32_t op = in.Take(1), arg = in.Take(2);
    const size_t pick = out.empty() ? 0 : arg % out.size();
    if (op % 4 == 0 || out.empty()) {
      Grant g;
      pool.Malloc(&g.buf, &g.size, arg);
      Check(g.buf != NULL && g.size >= arg && (g.size == arg || arg <= max_chunk));
      memset(g.buf, op, g.size);
      out.push_back(g);
    } else if (op % 4 == 1) {
      pool.Free(out[pick].buf, out[pick].size);
      out.erase(out.begin() + pick);
    } else if (op % 4 == 2) {
      Grant& g = out[pick];
      const size_t want = in.Take(2);
      pool.Enlarge(&g.buf, &g.size, want);
      Check(g.buf != NULL && g.size >= want);
      memset(g.buf, op, g.size);
    } else {
      pool.FreeUnusedMemory();
    }

    std::set<void*> seen;
    uint64_t total = 0;
    const Zr_DList<Zr_Chunk>& in_use = Zr_BufferPoolInspector::InUse(pool);
    for (const Zr_Chunk* c = in_use.m_begin; c != NULL; c = c->m_next) {
      Check(c->m_buffer != NULL && c->m_size != 0 && c->m_size <= max_chunk);
      Check(seen.insert(c->m_buffer).second);
      total += c->m_size;
    }
    for (const Grant& g : out) Check(seen.insert(g.buf).second);
    Check(total == pool.GetNrUnusedBytes() && total <= cap);
    Check(in_use.GetCount() + Zr_BufferPoolInspector::FreeSlots(pool) == slots);
  }
  for (const Grant& g : out) pool.Free(g.buf, g.size);
  return 0;
}
