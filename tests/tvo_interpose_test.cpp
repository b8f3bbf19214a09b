// A program's own __tvo_assert_fail replaces the runtime layer's by ELF
// interposition: every assertion, from inline code and from inside
// libzrshared.so, reaches this definition.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

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

struct Node : Zr_DList<Node>::Zr_item {};

TEST(TvoInterpose, ProgramHandlerReceivesAssertions) {
  g_seen.clear();
  Node n;
  Zr_DList<Node> a;
  a.Remove(&n);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].substr(0, g_seen[0].find(" | ")), "it->m_owner == this");
  EXPECT_SIGNATURE(g_seen[0].substr(g_seen[0].find(" | ") + 3),
                   "void Zr_DList<T>::Remove(T*) [with T = {anonymous}::Node]");
}

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

TEST(TvoInterpose, LibraryCallsTheHandlerThroughItsDynamicSymbol) {
  // Load both libraries for real (the linker drops unused ones).
  char buf[8];
  tvostrcpy(buf, zrshared_version(), sizeof buf);
  // The definition the dynamic linker binds for everyone is this program's.
  void* bound = dlsym(RTLD_DEFAULT, "__tvo_assert_fail");
  EXPECT_EQ(bound, reinterpret_cast<void*>(&__tvo_assert_fail));
  // libzrshared was linked without -Bsymbolic, so its references resolve the
  // same way.
#define ZR_STR2(x) #x
#define ZR_STR(x) ZR_STR2(x)
  void* lib = dlopen("libzrshared.so." ZR_STR(ZRSHARED_VERSION_MAJOR), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(lib, RTLD_DI_LINKMAP, &map), 0);
  for (const ElfW(Dyn)* d = map->l_ld; d->d_tag != DT_NULL; ++d) {
    EXPECT_NE(d->d_tag, DT_SYMBOLIC);
    if (d->d_tag == DT_FLAGS) {
      EXPECT_EQ(d->d_un.d_val & DF_SYMBOLIC, 0u);
    }
  }
  dlclose(lib);
}

}  // namespace
