// The bit helpers of Zr_Utils. (Zr_MatchBits is also checked against a
// model on random data in Zr_BitArray_test.cpp.)
#include "Zr_Utils.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(MatchBits, FixedCases) {
  EXPECT_EQ(Zr_MatchBits(nullptr, nullptr, 3, 9, 0), 1);
  std::unique_ptr<unsigned char[]> f0(new unsigned char[1]{0xF0}), x0f(new unsigned char[1]{0x0F});
  EXPECT_EQ(Zr_MatchBits(f0.get(), x0f.get(), 4, 0, 4), 1);
  EXPECT_EQ(Zr_MatchBits(f0.get(), x0f.get(), 0, 0, 4), 0);

  // 20 bits at offsets 3 and 13 cross byte boundaries at different places.
  std::unique_ptr<unsigned char[]> a(new unsigned char[3]), b(new unsigned char[5]);
  const uint32_t pattern = 0xB5E3C;  // 20 bits
  const uint64_t wa = uint64_t(pattern) << 3, wb = uint64_t(pattern) << 13;
  for (int i = 0; i < 3; ++i) a[i] = static_cast<unsigned char>(wa >> (8 * i));
  for (int i = 0; i < 5; ++i) b[i] = static_cast<unsigned char>(wb >> (8 * i));
  EXPECT_EQ(Zr_MatchBits(a.get(), b.get(), 3, 13, 20), 1);
  b[1] ^= 0x20;  // first bit of b's run
  EXPECT_EQ(Zr_MatchBits(a.get(), b.get(), 3, 13, 20), 0);
  b[1] ^= 0x20;
  b[4] ^= 0x01;  // last bit (bit 32)
  EXPECT_EQ(Zr_MatchBits(a.get(), b.get(), 3, 13, 20), 0);
  EXPECT_EQ(Zr_MatchBits(a.get(), b.get(), 3, 13, 19), 1);
}

TEST(BitsToBytes, RoundsUpWithoutWrapping) {
  EXPECT_EQ(Zr_BitsToBytes(0), 0ul);
  for (unsigned long bits = 1; bits <= 8; ++bits) EXPECT_EQ(Zr_BitsToBytes(bits), 1ul);
  EXPECT_EQ(Zr_BitsToBytes(9), 2ul);
  EXPECT_EQ(Zr_BitsToBytes(16), 2ul);
  EXPECT_EQ(Zr_BitsToBytes(17), 3ul);
  const unsigned long top = ~0ul;                       // 2^64 - 1
  EXPECT_EQ(Zr_BitsToBytes(top - 7), (1ul << 61) - 1);  // 2^64 - 8: the last exact multiple
  for (unsigned long k = 0; k < 7; ++k) EXPECT_EQ(Zr_BitsToBytes(top - k), 1ul << 61) << k;
}

}  // namespace
