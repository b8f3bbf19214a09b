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
}

TEST(BitsToBytes, RoundsUpWithoutWrapping) {
  const unsigned long top = ~0ul;  // 2^64 - 1
  const std::pair<unsigned long, unsigned long> cases[] = {
      {0, 0}, {1, 1}, {8, 1}, {9, 2}, {16, 2}, {17, 3}, {top - 7, (1ul << 61) - 1}};
  for (const auto& c : cases) EXPECT_EQ(Zr_BitsToBytes(c.first), c.second) << c.first;
  for (unsigned long k = 0; k < 7; ++k) EXPECT_EQ(Zr_BitsToBytes(top - k), 1ul << 61) << k;
}

}  // namespace
