#include "zr_bufferpool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "test_support.h"

// Read access to a pool's lists (befriended by Zr_BufferPool).
struct Zr_BufferPoolInspector {
  static const Zr_DList<Zr_Chunk>& InUse(const Zr_BufferPool& p) { return p.m_chunk_slots_in_use; }
  static uint64_t FreeSlots(const Zr_BufferPool& p) { return p.m_chunk_slots_free.GetCount(); }
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
  EXPECT_EQ(rec.Exprs(), (std::vector<std::string>{"m_chunk_slots_free.IsEmpty()",
                                                   "m_chunk_slots_in_use.IsEmpty()"}));
  EXPECT_EQ(rec.Take()[0].function,
            "int32_t Zr_BufferPool::Initialize(uint32_t, uint32_t, uint64_t, uint32_t, uint32_t)");
  EXPECT_EQ(Inspector::FreeSlots(pool), 1u);

  // A pooled chunk whose size was lost is reported and never handed out.
  Zr_Chunk* c = Inspector::InUse(pool).m_begin;
  c->m_size = 0;
  Grant g = Take(pool, 64);
  EXPECT_NE(g.buf, c->m_buffer);
  auto r = rec.Take();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].expr, "c->Size() != 0");
  EXPECT_EQ(r[0].function, "void Zr_BufferPool::Malloc(void**, size_t*, size_t)");
  EXPECT_NE(r[0].file.find("zr_bufferpool.cpp"), std::string::npos);
  c->m_size = 64;
  free(g.buf);

  // Set on a full chunk keeps (does not leak) the buffer it holds.
  c->Set(reinterpret_cast<void*>(16), 16);
  EXPECT_EQ(rec.Take()[0].function, "void Zr_Chunk::Set(void*, size_t)");
  EXPECT_EQ(c->Size(), 64u);
}

TEST(BufferPool, EnlargeOfANullBufferAllocatesWhateverItsSize) {
  Zr_BufferPool pool;
  pool.Initialize(2, 1 << 20, 1 << 30, 0, 0);
  Grant g{nullptr, 5000};  // a stale size must not pass for a buffer
  pool.Enlarge(&g.buf, &g.size, 100);
  ASSERT_NE(g.buf, nullptr);
  EXPECT_EQ(g.size, 100u);
  memset(g.buf, 1, g.size);
  pool.Free(g.buf, g.size);
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

    struct Pooled {
      void* buf;
      size_t size;
      uint32_t recent;
    };
    std::vector<Pooled> model;  // newest first
    std::vector<Grant> out;
    uint64_t stats[4] = {};  // requested, allocated, returned, released
    auto model_free = [&](Grant g) {
      stats[2] += g.size;
      uint64_t total = 0;
      for (const Pooled& p : model) total += p.size;
      if (g.size != 0 && model.size() < slots && g.size <= max_chunk && total + g.size <= cap)
        model.insert(model.begin(), {g.buf, g.size, 1});
      else
        stats[3] += g.size;
    };
    auto model_malloc = [&](size_t r, Grant got) {
      stats[0] += r;
      auto hit = std::find_if(model.begin(), model.end(), [&](const Pooled& p) {
        return r != 0 && r <= max_chunk && p.size >= r &&
               ((p.size - r) * 100 <= pct * r || p.size - r <= slack);
      });
      if (hit != model.end()) {
        EXPECT_EQ(got.buf, hit->buf);
        EXPECT_EQ(got.size, hit->size);
        model.erase(hit);
      } else {
        stats[1] += r;
        EXPECT_EQ(got.size, r);
      }
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
        Grant before = out[i];
        size_t r = some_size();
        pool.Enlarge(&out[i].buf, &out[i].size, r);
        if (r > before.size) {
          model_free(before);
          model_malloc(r, out[i]);
        } else {
          EXPECT_EQ(out[i].buf, before.buf);
        }
      } else {
        pool.FreeUnusedMemory();
        std::vector<Pooled> kept;
        for (Pooled p : model) {
          if (p.recent) kept.push_back({p.buf, p.size, 0});
          if (!p.recent) stats[3] += p.size;
        }
        model = kept;
      }

      std::vector<Pooled> actual;
      uint64_t total = 0;
      std::set<void*> seen;
      for (const Zr_Chunk* c = Inspector::InUse(pool).m_begin; c != nullptr; c = c->m_next) {
        actual.push_back({c->m_buffer, c->m_size, c->m_recently_pooled});
        total += c->m_size;
        ASSERT_TRUE(seen.insert(c->m_buffer).second);
      }
      for (const Grant& g : out) ASSERT_TRUE(seen.insert(g.buf).second) << "handed out twice";
      ASSERT_EQ(actual.size(), model.size()) << "step " << step;
      for (size_t k = 0; k < model.size(); ++k) {
        ASSERT_EQ(actual[k].buf, model[k].buf) << "step " << step << " slot " << k;
        ASSERT_EQ(actual[k].size, model[k].size);
        ASSERT_EQ(actual[k].recent, model[k].recent);
      }
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
