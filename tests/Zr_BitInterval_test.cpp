// The little-endian compare on runs of 2^31 bits and more. (Random model runs
// and argument errors are in Zr_BitArray_test.cpp.)
#include "Zr_BitInterval.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

namespace {

// Untouched anonymous memory (zero pages) differing only in the runs' top
// bit: a 32-bit counter would compare nothing or the low bits only.
TEST(BitCompare, CountsBeyondThirtyTwoBitsInBothFormsAndOverloads) {
  for (const unsigned long count : {(1ul << 31) + 1, (1ul << 32) + 8, (1ul << 32) + 64}) {
    const size_t bytes = count / 8 + 1;
    void* map = mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *a = static_cast<char*>(map), *b = a + bytes;
    const unsigned long top = count - 1 + 5;  // the runs start at bit 5
    b[top / 8] = static_cast<char>(1 << (top % 8));
    const Zr_BitPointer pa(a, 5), pb(b, 5);
    const Zr_BitSize size(count / 8 - 1, count % 8 + 8);  // m_bits need not be below 8
    EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(a, 5, b, 5, count), -1) << count;
    EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(pb, pa, size), 1) << count;
    EXPECT_EQ(Zr_BitArrayLittleEndianCompare(b, 5, a, 5, count), 1) << count;
    EXPECT_EQ(Zr_BitArrayLittleEndianCompare(pa, pb, size), -1) << count;
    EXPECT_EQ(Zr_BitArrayLittleEndianCompare(a, 5, b, 5, count - 1), 0) << count;
    munmap(map, 2 * bytes);
  }
}

}  // namespace
