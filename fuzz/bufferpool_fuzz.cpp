// Drives a Zr_BufferPool with operations decoded from the input and checks
// it against a model after each: which pooled buffer a request gets (first
// fit from the most recently pooled, within either tolerance), what Free
// pools or releases, what the second-chance sweep keeps, the order of the
// in-use list and every counter. Every grant is written to its full
// reported size, so ASan sees a size larger than the buffer, and a buffer
// handed out twice is caught by the model. Assertion reports crash.
//
// Input (little-endian): limits as for Initialize (1 byte slots % 16, 2 bytes
// max chunk, 3 bytes cap, 2 bytes percent, 2 bytes slack bytes), then
// operations of 1 byte op and 2 bytes argument; Initialize again takes a
// new set of limits from the input.
#include <set>
#include <vector>

#include "fuzz_support.h"
#include "zr_bufferpool.h"

struct Zr_BufferPoolInspector {
  static const Zr_DList<Zr_Chunk>& InUse(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use; }
  static uint64_t FreeSlots(const Zr_BufferPool& p) { return p.m_chunk_slots_free.GetCount(); }
};

namespace {

using zr_fuzz::Check;

struct Buffer {
  void* buf;
  size_t size;
  bool recent;  // pooled since the last sweep
};

// The pool as its contract describes it.
struct Model {
  uint64_t slots, max_chunk, cap, pct, slack;
  std::vector<Buffer> pooled;  // most recently pooled first
  uint64_t free_slots = 0, total = 0, requested = 0, allocated = 0, returned = 0, released = 0;

  void Init(zr_fuzz::Input& in, Zr_BufferPool& pool) {
    slots = in.Take(1) % 16, max_chunk = in.Take(2), cap = in.Take(3), pct = in.Take(2),
    slack = in.Take(2);
    Check(pool.Initialize(static_cast<uint32_t>(slots), static_cast<uint32_t>(max_chunk), cap,
                          static_cast<uint32_t>(pct), static_cast<uint32_t>(slack)) == 0);
    free_slots = slots;
  }
  // The pooled buffer a request of `n` bytes gets (taken out of the pool),
  // or a null buffer of `n` bytes when it comes from malloc.
  Buffer Malloc(uint64_t n) {
    if (n == 0) return {nullptr, 0, false};
    requested += n;
    for (auto it = pooled.begin(); n <= max_chunk && it != pooled.end(); ++it) {
      if (it->size < n || (it->size > n + pct * n / 100 && it->size > n + slack)) continue;
      const Buffer hit = *it;
      pooled.erase(it);
      total -= hit.size;
      ++free_slots;
      return hit;
    }
    allocated += n;
    return {nullptr, n, false};
  }
  void Free(void* buf, uint64_t size) {
    if (buf == nullptr || size == 0) return;
    returned += size;
    if (total + size <= cap && size <= max_chunk && free_slots != 0) {
      pooled.insert(pooled.begin(), {buf, size, true});
      total += size;
      --free_slots;
    } else {
      released += size;
    }
  }
  void Sweep() {
    std::vector<Buffer> kept;
    for (Buffer& b : pooled) {
      if (b.recent) {
        b.recent = false;
        kept.push_back(b);
      } else {
        total -= b.size;
        released += b.size;
        ++free_slots;
      }
    }
    pooled.swap(kept);
  }
};

void Granted(const Buffer& got, const Buffer& want, unsigned char fill) {
  Check(got.buf != nullptr && got.size == want.size &&
        (want.buf == nullptr || got.buf == want.buf));
  memset(got.buf, fill, got.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zr_fuzz::Input in{data, size};
  Zr_BufferPool pool;
  Model model;
  model.Init(in, pool);
  std::vector<Buffer> out;  // buffers the caller holds
  while (in.n > 0) {
    const uint32_t op = in.Take(1), arg = in.Take(2);
    const size_t pick = out.empty() ? 0 : arg % out.size();
    switch (out.empty() ? 0 : op % 6) {
      case 0: {
        Buffer g{nullptr, 0, false};
        pool.Malloc(&g.buf, &g.size, arg);
        Granted(g, model.Malloc(arg), static_cast<unsigned char>(op));
        out.push_back(g);
        break;
      }
      case 1:
        pool.Free(out[pick].buf, out[pick].size);
        model.Free(out[pick].buf, out[pick].size);
        out.erase(out.begin() + static_cast<long>(pick));
        break;
      case 2: {
        // Growing gives the old buffer back first; it may be pooled, but it
        // is too small to be the one handed out.
        Buffer& g = out[pick];
        const uint32_t want = in.Take(2);
        Buffer expect = g;
        if (want > g.size) {
          model.Free(g.buf, g.size);
          expect = model.Malloc(want);
        }
        pool.Enlarge(&g.buf, &g.size, want);
        Granted(g, expect, static_cast<unsigned char>(op));
        break;
      }
      case 3:
        pool.FreeUnusedMemory();
        model.Sweep();
        break;
      case 4: {
        // No buffer yet, whatever the size says; a null Free changes nothing.
        Buffer g{nullptr, arg, false};
        pool.Free(nullptr, arg);
        pool.Enlarge(&g.buf, &g.size, arg);
        Granted(g, model.Malloc(arg), static_cast<unsigned char>(op));
        out.push_back(g);
        break;
      }
      default:
        Check(pool.Deinitialize() == 0);
        model.pooled.clear();
        model.total = 0;
        model.Init(in, pool);
        break;
    }

    std::set<void*> seen;
    size_t i = 0;
    const Zr_DList<Zr_Chunk>& in_use = Zr_BufferPoolInspector::InUse(pool);
    Check(in_use.GetCount() == model.pooled.size());
    for (const Zr_Chunk* c = in_use.m_begin; c != NULL; c = c->m_next, ++i) {
      Check(i < model.pooled.size());
      const Buffer& b = model.pooled[i];
      Check(c->m_buffer == b.buf && c->m_size == b.size && c->m_recently_pooled == b.recent);
      Check(seen.insert(c->m_buffer).second);
    }
    for (const Buffer& g : out) Check(seen.insert(g.buf).second);
    Check(Zr_BufferPoolInspector::FreeSlots(pool) == model.free_slots);
    Check(pool.GetNrUnusedBytes() == model.total &&
          pool.GetNrUnusedChunks() == model.pooled.size());
    Check(pool.GetBytesRequested() == model.requested &&
          pool.GetBytesAllocated() == model.allocated &&
          pool.GetBytesReturned() == model.returned && pool.GetBytesReleased() == model.released);
  }
  for (const Buffer& g : out) pool.Free(g.buf, g.size);
  return 0;
}
