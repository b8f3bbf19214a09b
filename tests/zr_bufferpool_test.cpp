#include "zr_bufferpool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "test_support.h"

// Read access to a pool's lists (befriended by Zr_BufferPool).
struct Zr_BufferPoolInspector {
  static Zr_Chunk* Newest(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use.m_begin; }
  static uint64_t FreeSlots(const Zr_BufferPool& p) { return p.m_chunk_slots_free.GetCount(); }
  static uint64_t& Total(Zr_BufferPool& p) { return p.m_total_in_pool; }
};

namespace {

struct Grant {
  Grant(void* b, size_t s) : buf(b), size(s) {}
  Grant(Zr_BufferPool& pool, size_t requested) { pool.Malloc(&buf, &size, requested); }
  void* buf = nullptr;
  size_t size = 0;
};

TEST(BufferPool, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 64, 0, 0);
  pool.Free(malloc(64), 64);  // pooled: the byte cap is inclusive
  // Refused: it would shrink the limits under a pooled buffer.
  EXPECT_EQ(ErrnoOf(pool.Initialize(7, 1, 1, 0, 0)), EINVAL);
  ASSERT_EQ(Zr_BufferPoolInspector::FreeSlots(pool), 1u);  // one chunk pooled, as before

  // A pooled chunk that lost its buffer is reported and never handed out (a
  // hit would give the caller a null buffer and upset the later checks).
  Zr_Chunk* c = Zr_BufferPoolInspector::Newest(pool);
  void* const held = std::exchange(c->m_buffer, nullptr);
  free(Grant(pool, 64).buf);
  // Set on a full chunk keeps (does not leak) the buffer it holds: else the
  // hit below would miss, and Deinitialize would free &rec.
  c->m_buffer = held;
  c->Set(&rec, sizeof rec);
  // Books already short of a chunk's size clamp to 0 instead of wrapping
  // (a wrapped total would refuse every later Free).
  Zr_BufferPoolInspector::Total(pool) = 16;
  free(Grant(pool, 64).buf);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 0u);
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"m_chunk_slots_free.IsEmpty()",
                                                   "m_chunk_slots_in_use.IsEmpty()",
                                                   "c->Buffer() != __null", "m_buffer == __null",
                                                   "m_size == 0", "m_total_in_pool >= c->Size()"}));
  EXPECT_SIGNATURE(rec.Take().at(3).function, "void Zr_Chunk::Set(void*, size_t)");
}

// Seeded random Malloc/Free/Enlarge/FreeUnusedMemory runs against a model of
// which buffers are pooled (order, marks) and of every statistic. The model's
// fit rule is the first pooled buffer, newest first, of a size S >= R with
// S <= R + pct * R / 100 or S <= R + slack bytes (R at most the largest size
// pooled). A hit must hand out the model's buffer, so none goes out twice.
// Each grant is filled to its reported size, so ASan also catches an
// overstated size; ASan's leak check covers the end state.
TEST(BufferPool, MatchesReferenceModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&rng](uint64_t lo, uint64_t hi) { return lo + rng() % (hi - lo + 1); };
    const uint64_t slots = pick(0, 6), max_chunk = pick(1, 3000),
                   pct = pick(0, 1) ? pick(0, 30) : 25 * pick(0, 4), slack = pick(0, 200),
                   cap = pick(0, 8000);
    Zr_BufferPool pool;
    pool.Initialize(slots, max_chunk, cap, pct, slack);

    using Pooled = std::tuple<void*, size_t, uint32_t>;  // buffer, size, recent
    std::vector<Pooled> model;                           // newest first
    std::vector<Grant> out;
    std::vector<uint64_t> stats(5);  // bytes requested, allocated, returned, released; pooled
    auto model_free = [&](Grant g) {
      stats[2] += g.size;
      const bool pools =
          g.size != 0 && model.size() < slots && g.size <= max_chunk && stats[4] + g.size <= cap;
      stats[pools ? 4 : 3] += g.size;
      if (pools) model.insert(model.begin(), {g.buf, g.size, 1});
    };
    // Serves `r` as `got`, after taking back `freed` (for Enlarge).
    auto model_malloc = [&](size_t r, Grant got, Grant freed = Grant(nullptr, 0)) {
      model_free(freed);
      stats[0] += r;
      auto hit = std::find_if(model.begin(), model.end(), [&](const Pooled& p) {
        const size_t s = std::get<1>(p);
        return r != 0 && r <= max_chunk && s >= r && (s <= r + pct * r / 100 || s <= r + slack);
      });
      // A miss is a hit on a new buffer of r bytes from malloc.
      if (hit == model.end())
        stats[1] += r, stats[4] += r, hit = model.insert(hit, {got.buf, r, 0});
      EXPECT_EQ(Pooled(got.buf, got.size, std::get<2>(*hit)), *hit);
      stats[4] -= std::get<1>(*hit);
      model.erase(hit);
      memset(got.buf, 0x5a, got.size);
    };
    // Sizes cluster so that hits and near misses occur, and a quarter sit at
    // an edge, or a byte off it: a pooled buffer's size s, the smallest
    // request that s serves within the percent or the byte tolerance, or the
    // largest size pooled. A few are 0 (malloc(0), which Free releases
    // without any statistic).
    auto some_size = [&]() -> uint64_t {
      if (model.empty() || pick(0, 3) != 0)
        return pick(0, 19) ? 100 + 700 * pick(0, 4) + pick(0, 120) - 60 : 0;
      const uint64_t s = std::get<1>(model[pick(0, model.size() - 1)]),
                     edges[] = {s, s * 100 / (100 + pct), s - std::min(s, slack), max_chunk};
      return std::max<uint64_t>(edges[pick(0, 3)] + pick(0, 2), 1) - 1;
    };

    for (int step = 0; step < 400; ++step) {
      const uint64_t op = pick(0, 9), i = rng() % std::max<size_t>(out.size(), 1), r = some_size();
      if (op < 4 || out.empty()) {
        model_malloc(r, out.emplace_back(pool, r));
      } else if (op < 7) {
        pool.Free(out[i].buf, out[i].size);
        model_free(out[i]);
        out.erase(out.begin() + i);
      } else if (op < 9) {  // op 8: from no buffer with a stale size, which is no buffer
        Grant& g = op == 8 ? out.emplace_back(nullptr, pick(0, 4000)) : out[i];
        const Grant before{g.buf, g.buf ? g.size : 0};
        pool.Enlarge(&g.buf, &g.size, r);
        const bool grows = before.buf == nullptr || r > before.size;
        if (grows) model_malloc(r, g, before);
        EXPECT_TRUE(grows || (g.buf == before.buf && g.size == before.size));
      } else {  // old buffers go (emptied here, then dropped), recent ones stay and age
        pool.FreeUnusedMemory();
        for (auto& [buf, size, recent] : model)
          if (!std::exchange(recent, 0))
            stats[3] += size, stats[4] -= size, buf = nullptr, size = 0;
        model.erase(std::remove(model.begin(), model.end(), Pooled()), model.end());
      }

      std::vector<Pooled> actual;
      for (const Zr_Chunk* c = Zr_BufferPoolInspector::Newest(pool); c; c = c->m_next)
        actual.emplace_back(c->m_buffer, c->m_size, c->m_recently_pooled);
      ASSERT_EQ(actual, model) << "step " << step;
      ASSERT_EQ(pool.GetNrUnusedChunks(), model.size());
      ASSERT_EQ(stats, (std::vector<uint64_t>{pool.GetBytesRequested(), pool.GetBytesAllocated(),
                                              pool.GetBytesReturned(), pool.GetBytesReleased(),
                                              pool.GetNrUnusedBytes()}));
    }
    for (Grant g : out) pool.Free(g.buf, g.size);
    EXPECT_TRUE(pool.Deinitialize() == 0 && pool.Initialize(1, 1, 1, 0, 0) == 0);  // usable again
  }
}

}  // namespace
