#include "zr_bufferpool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "test_support.h"

// Read access to a pool's lists (befriended by Zr_BufferPool).
struct Zr_BufferPoolInspector {
  static Zr_Chunk* Newest(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use.m_begin; }
  static Zr_DList<Zr_Chunk>& FreeList(Zr_BufferPool& p) { return p.m_chunk_slots_free; }
  static uint64_t& Total(Zr_BufferPool& p) { return p.m_total_in_pool; }
};

// Chunks point at their pool's lists, and a pool owns its chunks.
static_assert(!std::is_copy_constructible_v<Zr_BufferPool> &&
              !std::is_copy_constructible_v<Zr_Chunk>);

namespace {

struct Grant {
  Grant(void* b, size_t s) : buf(b), size(s) {}
  Grant(Zr_BufferPool& pool, size_t requested) { pool.Malloc(&buf, &size, requested); }
  void* buf = nullptr;
  size_t size = 0;
};

// The model's statistics and byte total.
struct Stats {
  uint64_t requested = 0, allocated = 0, returned = 0, released = 0, pooled = 0;
};

TEST(BufferPool, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Zr_BufferPool pool;
  pool.Initialize(1, 1 << 20, 64, 0, 0);
  pool.Free(malloc(64), 64);  // pooled: the byte cap is inclusive
  // Refused, though only one list holds a chunk: new limits would shrink
  // under a pooled buffer.
  EXPECT_EQ(ErrnoOf(pool.Initialize(7, 1, 1, 0, 0)), EINVAL);

  // A pooled chunk that lost its buffer is reported and never handed out (a
  // hit would give the caller a null buffer and upset the later checks).
  Zr_Chunk* c = Zr_BufferPoolInspector::Newest(pool);
  void* const held = std::exchange(c->m_buffer, nullptr);
  free(Grant(pool, 64).buf);
  // Set on a chunk that holds a buffer keeps it, even with its size read as
  // 0: else the hit below would hand out &rec.
  c->m_buffer = held;
  c->m_size = 0;
  c->Set(&rec, sizeof rec);
  c->m_size = 64;
  // Books already short of a chunk's size clamp to 0 instead of wrapping
  // (a wrapped total would refuse every later Free).
  Zr_BufferPoolInspector::Total(pool) = 16;
  free(Grant(pool, 64).buf);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 0u);
  // Broken links or a dirty slot: the fast paths step aside, and what the
  // list and the chunk report is what the general path always reported.
  pool.Free(malloc(64), 64);
  c->m_prev = c;
  free(Grant(pool, 64).buf);  // handed out, but no list takes the chunk back
  c->m_prev = nullptr;
  Zr_BufferPoolInspector::FreeList(pool).Append(c);
  // Empty slots, one with a size and one with a buffer: Set keeps each as it
  // is, and Free still pools the slot and counts the bytes.
  Zr_BufferPool dirty;
  dirty.Initialize(2, 64, 64, 0, 0);
  Zr_Chunk& slot = *Zr_BufferPoolInspector::FreeList(dirty).m_begin;
  slot.m_size = 8, slot.m_next->m_buffer = malloc(1);  // the second released by Deinitialize
  dirty.Free(&rec, 16);  // buffers that Set refuses: nothing ever frees them
  dirty.Free(&pool, 16);
  EXPECT_EQ(dirty.GetNrUnusedChunks(), 2u);
  EXPECT_EQ(dirty.GetNrUnusedBytes(), 32u);
  Zr_Chunk().Set(&rec, 1);  // a chunk destroyed holding a buffer leaves it alone
  EXPECT_EQ(rec.Exprs(),
            (std::vector<std::string>{"m_chunk_slots_in_use.IsEmpty()", "c->Buffer() != __null",
                                      "m_buffer == __null", "m_total_in_pool >= c->Size()",
                                      "it->m_prev == __null", "it->m_prev == __null", "m_size == 0",
                                      "m_buffer == __null", "m_buffer == __null"}));
  EXPECT_SIGNATURE(rec.Take().at(1).function,
                   "void Zr_BufferPool::Malloc(void**, size_t*, size_t)");
}

// Seeded random runs of the operations in `mix` (M: Malloc, F: Free, E:
// Enlarge, N: Enlarge from no buffer with a stale size, S: FreeUnusedMemory)
// against a model of which buffers are pooled (order, marks) and of every
// statistic. The model's fit rule is the first pooled buffer, newest first,
// of a size S >= R with S <= R + pct * R / 100 or S <= R + slack bytes (R at
// most the largest size pooled). A hit must hand out the model's buffer, so
// none goes out twice. Each grant is filled to its reported size, so ASan
// also catches an overstated size; ASan's leak check covers the end state.
void RunModel(const std::string& mix) {
  for (uint32_t seed = 1; seed <= 40 && !testing::Test::HasFailure(); ++seed) {
    SCOPED_TRACE(seed);
    zr_test::AssertRecorder rec;  // a sound pool reports nothing
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
    Stats stats;
    auto model_free = [&](Grant g) {
      stats.returned += g.size;
      const bool pools = g.size != 0 && model.size() < slots && g.size <= max_chunk &&
                         stats.pooled + g.size <= cap;
      (pools ? stats.pooled : stats.released) += g.size;
      if (pools) model.insert(model.begin(), {g.buf, g.size, 1});
    };
    // Serves `r` as `got`, after taking back `freed` (for Enlarge).
    auto model_malloc = [&](size_t r, Grant got, Grant freed = Grant(nullptr, 0)) {
      model_free(freed);
      stats.requested += r;
      auto hit = std::find_if(model.begin(), model.end(), [&](const Pooled& p) {
        const size_t s = std::get<1>(p);
        return r != 0 && r <= max_chunk && s >= r && (s <= r + pct * r / 100 || s <= r + slack);
      });
      if (hit == model.end()) {  // a miss is a hit on a new buffer of r bytes from malloc
        stats.allocated += r;
        stats.pooled += r;
        hit = model.insert(hit, {got.buf, r, 0});
      }
      EXPECT_EQ(Pooled(got.buf, got.size, std::get<2>(*hit)), *hit) << "Malloc(" << r << ")";
      stats.pooled -= std::get<1>(*hit);
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

    for (int step = 0; step < 400 && !testing::Test::HasFailure(); ++step) {
      const char op = out.empty() ? 'M' : mix[pick(0, mix.size() - 1)];
      const uint64_t i = pick(0, std::max<size_t>(out.size(), 1) - 1), r = some_size();
      if (op == 'M') {
        model_malloc(r, out.emplace_back(pool, r));
      } else if (op == 'F') {
        pool.Free(nullptr, r);  // ignored, whatever the size
        pool.Free(out[i].buf, out[i].size);
        model_free(out[i]);
        out.erase(out.begin() + i);
      } else if (op != 'S') {  // E, N: no buffer is no buffer, whatever the size
        Grant& g = op == 'N' ? out.emplace_back(nullptr, pick(0, 4000)) : out[i];
        const Grant before{g.buf, g.buf ? g.size : 0};
        pool.Enlarge(&g.buf, &g.size, r);
        if (before.buf == nullptr || r > before.size)
          model_malloc(r, g, before);
        else  // large enough: kept as it was
          EXPECT_EQ(std::make_pair(g.buf, g.size), std::make_pair(before.buf, before.size));
      } else {  // old buffers go (emptied here, then dropped), recent ones stay and age
        pool.FreeUnusedMemory();
        for (auto& [buf, size, recent] : model) {
          if (std::exchange(recent, 0)) continue;
          stats.released += size;
          stats.pooled -= size;
          buf = nullptr, size = 0;
        }
        model.erase(std::remove(model.begin(), model.end(), Pooled()), model.end());
      }

      std::vector<Pooled> actual;
      for (const Zr_Chunk* c = Zr_BufferPoolInspector::Newest(pool); c; c = c->m_next)
        actual.emplace_back(c->m_buffer, c->m_size, c->m_recently_pooled);
      EXPECT_EQ(actual, model) << "pooled buffers after " << op << ", step " << step;
      EXPECT_EQ(pool.GetNrUnusedChunks(), model.size());
      EXPECT_EQ(pool.GetBytesRequested(), stats.requested);
      EXPECT_EQ(pool.GetBytesAllocated(), stats.allocated);
      EXPECT_EQ(pool.GetBytesReturned(), stats.returned);
      EXPECT_EQ(pool.GetBytesReleased(), stats.released);
      EXPECT_EQ(pool.GetNrUnusedBytes(), stats.pooled);
    }
    for (Grant g : out) pool.Free(g.buf, g.size);
    EXPECT_EQ(pool.Deinitialize(), 0);
    EXPECT_EQ(pool.GetNrUnusedBytes(), 0u);
    EXPECT_EQ(pool.Initialize(1, 1, 1, 0, 0), 0);  // usable again
    EXPECT_EQ(rec.Exprs(), std::vector<std::string>());
  }
}

TEST(BufferPool, MallocTakesFirstFitFromNewestAndFreePoolsWithinLimits) { RunModel("MMMMFFF"); }
TEST(BufferPool, EnlargeGivesBackThenMallocsUnlessLargeEnough) { RunModel("MMMMFFFEN"); }
TEST(BufferPool, SweepReleasesOnlyBuffersPooledBeforeThePreviousSweep) { RunModel("MMMMFFFENS"); }

}  // namespace
