// A program's own __tvo_assert_fail replaces the runtime layer's by ELF
// interposition: assertions from inside libzrshared.so, which imports the
// handler through its dynamic symbol, reach this definition.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "zrshared.h"

namespace {
std::vector<std::string> g_seen;
}

extern "C" void __tvo_assert_fail(const char* expr, const char*, int, const char* function) {
  g_seen.push_back(std::string(expr) + " | " + function);
}

namespace {

TEST(TvoInterpose, AssertionsFromInsideTheLibraryReachTheProgram) {
  g_seen.clear();
  // Both checks live in zr_bufferpool.cpp, compiled into libzrshared.so.
  Zr_BufferPool pool;
  ASSERT_EQ(pool.Initialize(1, 64, 64, 0, 0), 0);
  EXPECT_EQ(pool.Initialize(1, 64, 64, 0, 0), -1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0],
            "m_chunk_slots_free.IsEmpty() | int32_t Zr_BufferPool::Initialize(uint32_t, uint32_t, "
            "uint64_t, uint32_t, uint32_t)");
  Zr_Chunk chunk;
  chunk.Clear();
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[1], "m_buffer != __null | void Zr_Chunk::Clear()");
}

}  // namespace
