#include "zr_bufferpool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "test_support.h"

// Read access to a pool's lists (befriended by Zr_BufferPool).
struct Zr_BufferPoolInspector {
  static const Zr_DList<Zr_Chunk>& InUse(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use; }
  static uint64_t FreeSlots(const Zr_BufferPool& p) { return p.m_chunk_slots_free.GetCount(); }
  static uint64_t& Total(Zr_BufferPool& p) { return p.m_total_in_pool; }
};

namespace {

using Inspector = Zr_BufferPoolInspector;

struct Grant {
  void* buf = nullptr;
  size_t size = 0;
};

Grant Take(Zr_BufferPool& pool, size_t requested) {
  Grant g;
  pool.Malloc(&g.buf, &g.size, requested);
  return g;
}

// Each case pools `pooled` in order (the last is the newest) and asks for
// `request`; `served` is the pooled size handed out, 0 for a malloc.
TEST(BufferPool, FitRuleAndLimits) {
  struct Case {
    uint32_t pct, bytes;
    std::vector<size_t> pooled;
    size_t request, served;
  } cases[] = {
      {10, 0, {1100}, 1000, 1100},
      {10, 0, {1100}, 999, 0},  // 999 + 99 < 1100
      {10, 0, {1100}, 1101, 0},
      {0, 0, {4096}, 4095, 0},
      {0, 0, {4096}, 4096, 4096},
      {1, 50, {1050}, 1000, 1050},
      {1, 50, {1051}, 1000, 0},
      {10, 0, {1000, 1050}, 1000, 1050},  // newest first fit beats the exact fit
  };
  for (const Case& c : cases) {
    Zr_BufferPool pool;
    pool.Initialize(4, 1 << 20, 1 << 30, c.pct, c.bytes);
    for (size_t s : c.pooled) pool.Free(malloc(s), s);
    Grant g = Take(pool, c.request);
    EXPECT_EQ(g.size, c.served ? c.served : c.request) << c.request << " " << c.pooled.back();
    EXPECT_EQ(pool.GetBytesAllocated(), c.served ? 0 : c.request);
    free(g.buf);
  }
  // The byte cap is inclusive, and a full set of slots pools nothing more.
  Zr_BufferPool pool;
  pool.Initialize(2, 1000, 1500, 0, 0);
  for (size_t s : {1000, 501, 500, 10}) pool.Free(malloc(s), s);
  EXPECT_EQ(pool.GetNrUnusedBytes(), 1500u);
  EXPECT_EQ(pool.GetBytesReleased(), 511u);
}

TEST(BufferPool, MisuseIsReportedAndRefused) {
  zr_test::AssertRecorder rec;
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 1 << 30, 0, 0);
  pool.Free(malloc(64), 64);
  errno = 0;
  EXPECT_EQ(pool.Initialize(7, 1, 1, 0, 0), -1);  // would shrink limits under a pooled buffer
  EXPECT_EQ(errno, EINVAL);
  auto r = rec.Take();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].expr, "m_chunk_slots_in_use.IsEmpty()");
  EXPECT_EQ(r[1].function,
            "int32_t Zr_BufferPool::Initialize(uint32_t, uint32_t, uint64_t, uint32_t, uint32_t)");
  EXPECT_NE(r[1].file.find("zr_bufferpool.cpp"), std::string::npos);
  EXPECT_EQ(Inspector::FreeSlots(pool), 1u);

  // A pooled chunk whose size was lost is reported and never handed out.
  Zr_Chunk* c = Inspector::InUse(pool).m_begin;
  c->m_size = 0;
  Grant g = Take(pool, 64);
  EXPECT_NE(g.buf, c->m_buffer);
  EXPECT_EQ(rec.Exprs(), std::vector<std::string>{"c->Size() != 0"});
  c->m_size = 64;
  free(g.buf);
  rec.Take();

  // Set on a full chunk keeps (does not leak) the buffer it holds.
  c->Set(&g, sizeof g);
  EXPECT_EQ(rec.Take()[0].function, "void Zr_Chunk::Set(void*, size_t)");
  EXPECT_EQ(c->Size(), 64u);

  // Books already short of a chunk's size clamp to 0 instead of wrapping
  // (a wrapped total would refuse every later Free).
  c->m_size = 32;
  Zr_BufferPoolInspector::Total(pool) = 16;
  g = Take(pool, 32);
  EXPECT_EQ(rec.Exprs(), std::vector<std::string>{"m_total_in_pool >= c->Size()"});
  EXPECT_EQ(pool.GetNrUnusedBytes(), 0u);
  pool.Free(g.buf, g.size);
  EXPECT_EQ(pool.GetNrUnusedChunks(), 1u);
}

// Seeded random Malloc/Free/Enlarge/FreeUnusedMemory runs against a model of
// which buffers are pooled (order, marks) and of every statistic. Each grant
// is filled to its reported size, so ASan also catches an overstated size or
// a buffer handed out twice; ASan's leak check covers the end state.
TEST(BufferPool, MatchesReferenceModel) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&rng](uint64_t lo, uint64_t hi) {
      return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
    };
    const uint64_t slots = pick(0, 6), max_chunk = pick(1, 3000), pct = pick(0, 30),
                   slack = pick(0, 200), cap = pick(0, 8000);
    Zr_BufferPool pool;
    pool.Initialize(slots, max_chunk, cap, pct, slack);

    using Pooled = std::tuple<void*, size_t, uint32_t>;  // buffer, size, recent
    std::vector<Pooled> model;                           // newest first
    std::vector<Grant> out;
    uint64_t stats[4] = {};  // requested, allocated, returned, released
    auto model_free = [&](Grant g) {
      stats[2] += g.size;
      uint64_t total = 0;
      for (const Pooled& p : model) total += std::get<1>(p);
      if (g.size != 0 && model.size() < slots && g.size <= max_chunk && total + g.size <= cap)
        model.insert(model.begin(), {g.buf, g.size, 1});
      else
        stats[3] += g.size;
    };
    auto model_malloc = [&](size_t r, Grant got) {
      stats[0] += r;
      auto hit = std::find_if(model.begin(), model.end(), [&](const Pooled& p) {
        const size_t s = std::get<1>(p);
        return r != 0 && r <= max_chunk && s >= r && ((s - r) * 100 <= pct * r || s - r <= slack);
      });
      if (hit != model.end()) {
        EXPECT_EQ(Pooled(got.buf, got.size, std::get<2>(*hit)), *hit);
        model.erase(hit);
      } else {
        stats[1] += r;
        EXPECT_EQ(got.size, r);
      }
      ASSERT_NE(got.buf, nullptr);
      memset(got.buf, 0x5a, got.size);
    };
    // Sizes cluster so that hits, near misses and tolerance edges all occur;
    // a few are 0 (malloc(0), released by Free without any statistic).
    auto some_size = [&] { return pick(0, 19) ? 100 + 700 * pick(0, 4) + pick(0, 120) - 60 : 0; };

    for (int step = 0; step < 400; ++step) {
      const uint64_t op = pick(0, 9), i = out.empty() ? 0 : pick(0, out.size() - 1);
      if (op < 4 || out.empty()) {
        size_t r = some_size();
        out.push_back(Take(pool, r));
        model_malloc(r, out.back());
      } else if (op < 7) {
        pool.Free(out[i].buf, out[i].size);
        model_free(out[i]);
        out.erase(out.begin() + i);
      } else if (op < 9) {
        // Now and then from no buffer with a stale size: that is no buffer.
        if (op == 8) out.push_back(Grant{nullptr, pick(0, 4000)});
        const size_t j = op == 8 ? out.size() - 1 : i, r = some_size();
        Grant before = out[j];
        if (before.buf == nullptr) before.size = 0;
        pool.Enlarge(&out[j].buf, &out[j].size, r);
        if (before.buf == nullptr || r > before.size) {
          model_free(before);
          model_malloc(r, out[j]);
        } else {
          EXPECT_EQ(out[j].buf, before.buf);
        }
      } else {
        pool.FreeUnusedMemory();
        std::vector<Pooled> kept;
        for (const Pooled& p : model) {
          if (std::get<2>(p)) kept.emplace_back(std::get<0>(p), std::get<1>(p), 0);
          if (!std::get<2>(p)) stats[3] += std::get<1>(p);
        }
        model = kept;
      }

      std::vector<Pooled> actual;
      uint64_t total = 0;
      std::set<void*> seen;
      for (const Zr_Chunk* c = Inspector::InUse(pool).m_begin; c != nullptr; c = c->m_next) {
        actual.emplace_back(c->m_buffer, c->m_size, c->m_recently_pooled);
        total += c->m_size;
        ASSERT_TRUE(seen.insert(c->m_buffer).second);
      }
      for (const Grant& g : out) ASSERT_TRUE(seen.insert(g.buf).second) << "handed out twice";
      ASSERT_EQ(actual, model) << "step " << step;
      ASSERT_EQ(pool.GetNrUnusedChunks() + Inspector::FreeSlots(pool), slots);
      ASSERT_EQ(pool.GetNrUnusedBytes(), total);
      ASSERT_LE(total, cap);
      const uint64_t got[4] = {pool.GetBytesRequested(), pool.GetBytesAllocated(),
                               pool.GetBytesReturned(), pool.GetBytesReleased()};
      ASSERT_TRUE(std::equal(got, got + 4, stats)) << "statistics at step " << step;
    }
    for (Grant g : out) pool.Free(g.buf, g.size);
    pool.Deinitialize();
    EXPECT_EQ(pool.GetNrUnusedChunks() + pool.GetNrUnusedBytes(), 0u);
    EXPECT_EQ(pool.Initialize(1, 1, 1, 0, 0), 0);  // usable again
  }
}

}  // namespace
