#include "zr_bufferpool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

// Read access to a pool's lists (befriended by Zr_BufferPool).
struct Zr_BufferPoolInspector {
  static const Zr_DList<Zr_Chunk>& InUse(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use; }
  static const Zr_DList<Zr_Chunk>& FreeSlots(const Zr_BufferPool& p) {
    return p.m_chunk_slots_free;
  }
};

namespace {

using Inspector = Zr_BufferPoolInspector;

struct Pooled {
  void* buffer;
  size_t size;
  uint32_t recent;
  bool operator==(const Pooled& o) const {
    return buffer == o.buffer && size == o.size && recent == o.recent;
  }
};

// The pooled buffers newest first, after checking the list-level invariants:
// every in-use chunk holds a buffer, every free slot none, slot count kept.
std::vector<Pooled> Snapshot(const Zr_BufferPool& pool, uint64_t slots) {
  std::vector<Pooled> out;
  uint64_t total = 0;
  for (const Zr_Chunk* c = Inspector::InUse(pool).m_begin; c != nullptr; c = c->m_next) {
    EXPECT_NE(c->m_buffer, nullptr);
    EXPECT_NE(c->m_size, 0u);
    out.push_back({c->m_buffer, c->m_size, c->m_recently_pooled});
    total += c->m_size;
  }
  for (const Zr_Chunk* c = Inspector::FreeSlots(pool).m_begin; c != nullptr; c = c->m_next) {
    EXPECT_EQ(c->m_buffer, nullptr);
    EXPECT_EQ(c->m_size, 0u);
  }
  EXPECT_EQ(out.size(), pool.GetNrUnusedChunks());
  EXPECT_EQ(total, pool.GetNrUnusedBytes());
  EXPECT_EQ(Inspector::InUse(pool).GetCount() + Inspector::FreeSlots(pool).GetCount(), slots);
  return out;
}

// A pool with one slot per size, each size freed in order (so the last is
// pooled most recently).
void PoolSizes(Zr_BufferPool& pool, const std::vector<size_t>& sizes) {
  for (size_t s : sizes) pool.Free(malloc(s), s);
  ASSERT_EQ(pool.GetNrUnusedChunks(), sizes.size());
}

struct Grant {
  void* buffer;
  size_t size;
};

Grant Take(Zr_BufferPool& pool, size_t requested) {
  Grant g{nullptr, 0};
  pool.Malloc(&g.buffer, &g.size, requested);
  return g;
}

TEST(BufferPool, PercentToleranceUsesTruncatingIntegerArithmetic) {
  Zr_BufferPool pool;
  pool.Initialize(4, 1 << 20, 1 << 30, 10, 0);
  PoolSizes(pool, {1100});
  void* pooled = Inspector::InUse(pool).m_begin->m_buffer;

  Grant too_small = Take(pool, 999);  // 999 + 99 = 1098 < 1100
  EXPECT_NE(too_small.buffer, pooled);
  EXPECT_EQ(too_small.size, 999u);
  Grant too_large = Take(pool, 1101);
  EXPECT_NE(too_large.buffer, pooled);
  Grant hit = Take(pool, 1000);
  EXPECT_EQ(hit.buffer, pooled);
  EXPECT_EQ(hit.size, 1100u);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);

  EXPECT_EQ(pool.GetBytesRequested(), 999u + 1101 + 1000);
  EXPECT_EQ(pool.GetBytesAllocated(), 999u + 1101);
  for (Grant g : {too_small, too_large, hit}) free(g.buffer);
}

TEST(BufferPool, ByteToleranceAndExactFit) {
  Zr_BufferPool exact;
  exact.Initialize(4, 1 << 20, 1 << 30, 0, 0);
  PoolSizes(exact, {4096});
  Grant miss = Take(exact, 4095);
  EXPECT_EQ(exact.GetNrUnusedChunks(), 1u);
  Grant hit = Take(exact, 4096);
  EXPECT_EQ(hit.size, 4096u);
  EXPECT_EQ(exact.GetNrUnusedChunks(), 0u);

  // Either tolerance admits a buffer: 50 bytes beats 1 % of 1000.
  Zr_BufferPool bytes;
  bytes.Initialize(4, 1 << 20, 1 << 30, 1, 50);
  PoolSizes(bytes, {1050});
  Grant by_bytes = Take(bytes, 1000);
  EXPECT_EQ(by_bytes.size, 1050u);
  PoolSizes(bytes, {1051});
  Grant beyond = Take(bytes, 1000);  // 1051 > 1000 + 50 and > 1000 + 10
  EXPECT_EQ(beyond.size, 1000u);
  for (Grant g : {miss, hit, by_bytes, beyond}) free(g.buffer);
}

TEST(BufferPool, FirstFitFromNewestWinsOverExactFit) {
  Zr_BufferPool pool;
  pool.Initialize(4, 1 << 20, 1 << 30, 10, 0);
  PoolSizes(pool, {1000, 1050});
  Grant g = Take(pool, 1000);
  EXPECT_EQ(g.size, 1050u);
  ASSERT_EQ(pool.GetNrUnusedChunks(), 1u);
  EXPECT_EQ(Inspector::InUse(pool).m_begin->m_size, 1000u);
  free(g.buffer);
}

TEST(BufferPool, LimitsDecideWhatIsPooled) {
  Zr_BufferPool pool;
  pool.Initialize(3, 1000, 1500, 0, 0);
  // Above the chunk size: neither pooled nor looked up.
  pool.Free(malloc(1001), 1001);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);
  Grant big = Take(pool, 1001);
  EXPECT_EQ(pool.GetBytesAllocated(), 1001u);

  // The byte cap is inclusive: 1000 + 500 = 1500 pools, one byte more does not.
  pool.Free(malloc(1000), 1000);
  pool.Free(malloc(501), 501);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 1000u);
  pool.Free(malloc(500), 500);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 1500u);
  // Out of slots after the third.
  Grant small = Take(pool, 500);
  pool.Free(malloc(10), 10);
  pool.Free(malloc(20), 20);
  pool.Free(malloc(30), 30);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 3u);
  EXPECT_EQ(pool.GetBytesReleased(), 1001u + 501 + 30);
  EXPECT_EQ(pool.GetBytesReturned(), 1001u + 1000 + 501 + 500 + 10 + 20 + 30);
  Snapshot(pool, 3);
  free(big.buffer);
  free(small.buffer);

  Zr_BufferPool none;
  none.Initialize(0, 1 << 20, 1 << 30, 100, 100);
  none.Free(malloc(64), 64);
  EXPECT_EQ(none.GetNrUnusedChunks(), 0u);
  EXPECT_EQ(none.GetBytesReleased(), 64u);
  Grant g = Take(none, 64);
  EXPECT_EQ(none.GetBytesAllocated(), 64u);
  free(g.buffer);
}

TEST(BufferPool, ZeroSizesAndNullBuffersTouchNoStatistic) {
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 1 << 30, 0, 0);
  void* buf = reinterpret_cast<void*>(1);
  size_t size = 99;
  pool.Malloc(&buf, &size, 0);
  EXPECT_EQ(size, 0u);
  pool.Free(buf, 0);  // released, not pooled
  pool.Free(nullptr, 4096);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);
  EXPECT_EQ(pool.GetBytesRequested() + pool.GetBytesAllocated() + pool.GetBytesReturned() +
                pool.GetBytesReleased(),
            0u);
}

TEST(BufferPool, SweepGivesEveryPooledBufferASecondChance) {
  Zr_BufferPool pool;
  pool.Initialize(4, 1 << 20, 1 << 30, 0, 0);
  PoolSizes(pool, {100, 200, 300});
  pool.FreeUnusedMemory();
  auto kept = Snapshot(pool, 4);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].size, 300u);  // order kept, marks cleared
  EXPECT_EQ(kept[2].size, 100u);
  for (const Pooled& p : kept) EXPECT_EQ(p.recent, 0u);

  // A buffer handed out and given back is pooled anew and survives the next sweep.
  Grant g = Take(pool, 200);
  pool.Free(g.buffer, g.size);
  pool.FreeUnusedMemory();
  auto left = Snapshot(pool, 4);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].size, 200u);
  EXPECT_EQ(pool.GetBytesReleased(), 400u);
  pool.FreeUnusedMemory();
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);
  EXPECT_EQ(pool.GetBytesReleased(), 600u);
}

TEST(BufferPool, EnlargeGrowsWithoutReturningTheOldBuffer) {
  Zr_BufferPool pool;
  pool.Initialize(4, 1 << 20, 1 << 30, 50, 0);
  Grant g{nullptr, 0};
  pool.Enlarge(&g.buffer, &g.size, 1000);
  ASSERT_NE(g.buffer, nullptr);
  EXPECT_EQ(g.size, 1000u);
  void* first = g.buffer;
  pool.Enlarge(&g.buffer, &g.size, 1000);  // large enough: unchanged
  EXPECT_EQ(g.buffer, first);
  // 1000 would fit 1200 by 50 %, but the old buffer is too small to serve.
  pool.Enlarge(&g.buffer, &g.size, 1200);
  EXPECT_NE(g.buffer, first);
  EXPECT_EQ(g.size, 1200u);
  ASSERT_EQ(pool.GetNrUnusedChunks(), 1u);
  EXPECT_EQ(Inspector::InUse(pool).m_begin->m_buffer, first);

  // A null buffer with a stale size is no buffer: Enlarge must allocate.
  Grant stale{nullptr, 5000};
  pool.Enlarge(&stale.buffer, &stale.size, 100);
  ASSERT_NE(stale.buffer, nullptr);
  EXPECT_EQ(stale.size, 100u);
  memset(stale.buffer, 0xab, stale.size);
  Grant empty{nullptr, 7};
  pool.Enlarge(&empty.buffer, &empty.size, 0);
  EXPECT_EQ(empty.size, 0u);
  for (Grant x : {g, stale, empty}) pool.Free(x.buffer, x.size);
}

TEST(BufferPool, DeinitializeEmptiesAndAllowsReinitialize) {
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 1 << 30, 0, 0);
  PoolSizes(pool, {10, 20});
  pool.Deinitialize();
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 0u);
  EXPECT_EQ(pool.GetBytesReturned(), 30u);  // statistics survive
  EXPECT_EQ(pool.Initialize(5, 100, 1000, 0, 0), 0);
  Snapshot(pool, 5);
}

// Misuse reaches the handler with the library's texts, and the pool refuses it.
TEST(BufferPool, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 1 << 30, 0, 0);
  PoolSizes(pool, {64});
  errno = 0;
  EXPECT_EQ(pool.Initialize(7, 1, 1, 0, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  auto r = rec.Take();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].expr, "m_chunk_slots_free.IsEmpty()");
  EXPECT_EQ(r[1].expr, "m_chunk_slots_in_use.IsEmpty()");
  EXPECT_EQ(r[0].function,
            "int32_t Zr_BufferPool::Initialize(uint32_t, uint32_t, uint64_t, uint32_t, uint32_t)");
  EXPECT_NE(r[0].file.find("zr_bufferpool.cpp"), std::string::npos);
  // Limits and slots as before: a 64-byte request is still served from the pool.
  Snapshot(pool, 2);
  Grant g = Take(pool, 64);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 0u);
  pool.Free(g.buffer, g.size);

  // A pooled chunk whose size was lost is never handed out.
  Zr_Chunk* c = Inspector::InUse(pool).m_begin;
  c->m_size = 0;
  Grant other = Take(pool, 64);
  EXPECT_NE(other.buffer, c->m_buffer);
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "c->Size() != 0");
  EXPECT_EQ(r[0].function, "void Zr_BufferPool::Malloc(void**, size_t*, size_t)");
  c->m_size = 64;
  free(other.buffer);

  Zr_Chunk chunk;
  chunk.Clear();
  r = rec.Take();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].expr, "m_buffer != __null");
  EXPECT_EQ(r[1].expr, "m_size != 0");
  EXPECT_EQ(r[0].function, "void Zr_Chunk::Clear()");
  void* a = malloc(8);
  chunk.Set(a, 8);
  chunk.Set(reinterpret_cast<void*>(16), 16);  // refused: `a` is kept, not leaked
  r = rec.Take();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].expr, "m_buffer == __null");
  EXPECT_EQ(r[1].expr, "m_size == 0");
  EXPECT_EQ(r[0].function, "void Zr_Chunk::Set(void*, size_t)");
  EXPECT_EQ(chunk.Buffer(), a);
  EXPECT_EQ(chunk.Size(), 8u);
  {
    Zr_Chunk held;
    held.m_buffer = a;
    held.m_size = 8;
  }
  r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].function, "virtual Zr_Chunk::~Zr_Chunk()");
  chunk.Free();
  EXPECT_EQ(rec.Count(), 0u);
}

// Seeded random runs against a model of the pool: which buffers are pooled,
// in which order, with which marks, and every statistic. Every buffer the
// pool hands out is filled to its reported size, so an overstated size or a
// buffer handed out twice shows up under AddressSanitizer as well as here.
TEST(BufferPool, MatchesReferenceModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](uint64_t lo, uint64_t hi) {
      return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
    };
    const uint32_t slots = pick(0, 6), max_chunk = pick(1, 3000), pct = pick(0, 30),
                   slack = pick(0, 200);
    const uint64_t cap = pick(0, 8000);
    Zr_BufferPool pool;
    ASSERT_EQ(pool.Initialize(slots, max_chunk, cap, pct, slack), 0);

    std::vector<Pooled> model;  // newest first
    std::vector<Grant> out;     // buffers held by the "user"
    uint64_t requested = 0, allocated = 0, returned = 0, released = 0;
    auto fits = [&](size_t s, size_t r) {
      return s >= r && ((s - r) * 100 <= uint64_t(pct) * r || s - r <= slack);
    };
    auto model_free = [&](Grant g) {
      if (g.buffer == nullptr || g.size == 0) return;
      returned += g.size;
      uint64_t total = 0;
      for (const Pooled& p : model) total += p.size;
      if (model.size() < slots && g.size <= max_chunk && total + g.size <= cap)
        model.insert(model.begin(), {g.buffer, g.size, 1});
      else
        released += g.size;
    };
    // Predicts a Malloc and checks the pool's answer; returns the grant.
    auto model_malloc = [&](size_t r, Grant got) {
      requested += r;
      auto hit = model.end();
      if (r <= max_chunk)
        hit = std::find_if(model.begin(), model.end(),
                           [&](const Pooled& p) { return fits(p.size, r); });
      if (hit != model.end()) {
        EXPECT_EQ(got.buffer, hit->buffer);
        EXPECT_EQ(got.size, hit->size);
        model.erase(hit);
      } else {
        allocated += r;
        EXPECT_EQ(got.size, r);
        for (const Pooled& p : model) EXPECT_NE(got.buffer, p.buffer);
      }
    };
    // Sizes cluster so that hits, near misses and tolerance edges all occur.
    auto some_size = [&]() -> size_t {
      static const size_t base[] = {100, 500, 1000, 2000, 2900};
      return base[pick(0, 4)] + pick(0, 120) - 60;
    };

    for (int step = 0; step < 400; ++step) {
      const uint64_t op = pick(0, 9);
      if (op < 4) {
        size_t r = some_size();
        Grant g = Take(pool, r);
        model_malloc(r, g);
        ASSERT_NE(g.buffer, nullptr);
        memset(g.buffer, 0x5a, g.size);
        out.push_back(g);
      } else if (op < 7 && !out.empty()) {
        size_t i = pick(0, out.size() - 1);
        Grant g = out[i];
        out.erase(out.begin() + i);
        pool.Free(g.buffer, g.size);
        model_free(g);
      } else if (op < 9 && !out.empty()) {
        size_t i = pick(0, out.size() - 1);
        Grant before = out[i];
        size_t r = some_size();
        pool.Enlarge(&out[i].buffer, &out[i].size, r);
        if (r <= before.size) {
          EXPECT_EQ(out[i].buffer, before.buffer);
          EXPECT_EQ(out[i].size, before.size);
        } else {
          model_free(before);
          const bool old_pooled = !model.empty() && model[0].buffer == before.buffer;
          model_malloc(r, out[i]);
          if (old_pooled) {
            EXPECT_NE(out[i].buffer, before.buffer);
          }
          memset(out[i].buffer, 0x6b, out[i].size);
        }
      } else {
        pool.FreeUnusedMemory();
        std::vector<Pooled> kept;
        for (Pooled p : model) {
          if (p.recent) {
            p.recent = 0;
            kept.push_back(p);
          } else {
            released += p.size;
          }
        }
        model = kept;
      }

      ASSERT_EQ(Snapshot(pool, slots), model) << "step " << step << " op " << op;
      ASSERT_LE(pool.GetNrUnusedBytes(), cap);
      ASSERT_EQ(pool.GetBytesRequested(), requested);
      ASSERT_EQ(pool.GetBytesAllocated(), allocated);
      ASSERT_EQ(pool.GetBytesReturned(), returned);
      ASSERT_EQ(pool.GetBytesReleased(), released);
      std::set<void*> seen;
      for (const Grant& g : out) ASSERT_TRUE(seen.insert(g.buffer).second) << "handed out twice";
      for (const Pooled& p : model) {
        ASSERT_LE(p.size, max_chunk);
        ASSERT_TRUE(seen.insert(p.buffer).second) << "pooled while out";
      }
    }
    for (Grant g : out) pool.Free(g.buffer, g.size);
  }
}

}  // namespace
