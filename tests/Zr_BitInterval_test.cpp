// The little-endian compare: fixed cases, argument errors and counts beyond
// 32 bits. (Random differential runs are in Zr_BitArray_test.cpp.)
#include "Zr_BitInterval.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <memory>

namespace {

using Compare = int (*)(char const*, unsigned long, char const*, unsigned long, unsigned long);
const Compare kForms[] = {Zr_BitArrayLittleEndianCompare, _Zr_BitArrayLittleEndianCompare};

TEST(BitCompare, LittleEndianOrderAndOffsets) {
  for (Compare compare : kForms) {
    const char one[2] = {0x01, 0x00}, big[2] = {0x00, 0x01};
    EXPECT_EQ(compare(one, 0, big, 0, 16), -1);  // 1 against 256
    EXPECT_EQ(compare(big, 0, one, 0, 16), 1);
    EXPECT_EQ(compare(one, 0, one, 0, 0), 0);
    // The same 13-bit pattern at offsets 3 and 11.
    const char x[3] = {static_cast<char>(0xA8), 0x5B, 0x00};
    const char y[4] = {0x00, static_cast<char>(0xA8), 0x5B, 0x00};
    EXPECT_EQ(compare(x, 3, y, 11, 13), 0);
    EXPECT_EQ(compare(x, 3, y, 11, 14), 0);
    EXPECT_EQ(compare(x, 3, y, 10, 13), -1);  // tops: x's bit 15 is 0, y's bit 22 is 1
  }
}

TEST(BitCompare, HundredBitRunsDifferingAtEitherEnd) {
  for (Compare compare : kForms) {
    std::unique_ptr<char[]> a(new char[13]()), b(new char[13]());
    b[0] = 0x01;  // lowest bit
    EXPECT_EQ(compare(a.get(), 0, b.get(), 0, 100), -1);
    b[0] = 0;
    b[12] = 0x08;  // highest bit (bit 99)
    EXPECT_EQ(compare(b.get(), 0, a.get(), 0, 100), 1);
    EXPECT_EQ(compare(b.get(), 0, a.get(), 0, 99), 0);
  }
}

TEST(BitCompare, NullArraysThrowOnlyWithBitsToCompare) {
  const char byte = 1;
  for (Compare compare : kForms) {
    EXPECT_EQ(compare(nullptr, 0, nullptr, 3, 0), 0);
    for (const auto& args : {std::make_pair(&byte, static_cast<const char*>(nullptr)),
                             std::make_pair(static_cast<const char*>(nullptr), &byte)}) {
      try {
        compare(args.first, 0, args.second, 0, 1);
        ADD_FAILURE() << "no exception";
      } catch (const Zr_ErrnoException& e) {
        char text[128];
        EXPECT_EQ(e.GetErrno(), EINVAL);
        EXPECT_STREQ(e.GetString(text, sizeof text), strerror(EINVAL));  // no message of its own
      }
    }
  }
  EXPECT_EQ(Zr_BitArrayLittleEndianCompare(Zr_BitPointer(), Zr_BitPointer(), Zr_BitSize()), 0);
  EXPECT_THROW(_Zr_BitArrayLittleEndianCompare(Zr_BitPointer(), Zr_BitPointer(), Zr_BitSize(0, 1)),
               Zr_ErrnoException);
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
