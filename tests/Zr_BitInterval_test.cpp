// The little-endian compare: fixed cases and counts beyond 32 bits. (Random
// differential runs and argument errors are in Zr_BitArray_test.cpp.)
#include "Zr_BitInterval.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

namespace {

using Compare = int (*)(char const*, unsigned long, char const*, unsigned long, unsigned long);
const Compare kForms[] = {Zr_BitArrayLittleEndianCompare, _Zr_BitArrayLittleEndianCompare};

TEST(BitCompare, FixedCases) {
  for (Compare compare : kForms) {
    const char one[2] = {0x01, 0x00}, big[2] = {0x00, 0x01};
    EXPECT_EQ(compare(one, 0, big, 0, 16), -1);  // 1 against 256
    EXPECT_EQ(compare(big, 0, one, 0, 16), 1);
    // The same 13-bit pattern at offsets 3 and 11.
    const char x[3] = {static_cast<char>(0xA8), 0x5B, 0x00};
    const char y[4] = {0x00, static_cast<char>(0xA8), 0x5B, 0x00};
    EXPECT_EQ(compare(x, 3, y, 11, 14), 0);
    EXPECT_EQ(compare(x, 3, y, 10, 13), -1);  // tops: x's bit 15 is 0, y's bit 22 is 1
  }
  char p[2] = {0x01, 0x00}, q[2] = {0x00, 0x01};  // bit pointer overloads: 1 against 256
  EXPECT_EQ(
      Zr_BitArrayLittleEndianCompare(Zr_BitPointer(p, 0), Zr_BitPointer(q, 0), Zr_BitSize(1, 1)),
      -1);
  EXPECT_EQ(
      _Zr_BitArrayLittleEndianCompare(Zr_BitPointer(q, 0), Zr_BitPointer(p, 0), Zr_BitSize(1, 1)),
      1);
}

// Runs of 2^31 bits and more, in untouched anonymous memory (zero pages, so
// hardly any real memory), differing only in their top bit. A 32-bit bit
// counter would compare nothing or only the low bits and report "equal".
TEST(BitCompare, CountsBeyondThirtyTwoBits) {
  for (const unsigned long count : {(1ul << 31) + 1, (1ul << 32) + 8, (1ul << 32) + 64}) {
    const size_t bytes = count / 8 + 1;
    void* map = mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* a = static_cast<char*>(map);
    char* b = a + bytes;
    const unsigned long top = count - 1 + 5;  // the runs start at bit 5
    b[top / 8] = static_cast<char>(1 << (top % 8));
    EXPECT_EQ(_Zr_BitArrayLittleEndianCompare(a, 5, b, 5, count), -1) << count;
    EXPECT_EQ(Zr_BitArrayLittleEndianCompare(b, 5, a, 5, count), 1) << count;
    EXPECT_EQ(Zr_BitArrayLittleEndianCompare(a, 5, b, 5, count - 1), 0) << count;
    munmap(map, 2 * bytes);
  }
}

}  // namespace
