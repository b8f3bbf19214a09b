// The bit helpers of Zr_Utils. (Zr_MatchBits is checked against a model on
// random data in Zr_BitArray_test.cpp.)
#include "Zr_Utils.h"

#include <gtest/gtest.h>

namespace {

TEST(BitsToBytes, RoundsUpWithoutWrappingNearTwoToTheSixtyFour) {
  for (unsigned long first : {0ul, ~0ul - 15})  // 0-15 and the top 16 counts
    for (unsigned long bits = first; bits - first < 16; ++bits)
      EXPECT_EQ(Zr_BitsToBytes(bits), bits == 0 ? 0 : (bits - 1) / 8 + 1) << bits;
  EXPECT_EQ(Zr_MatchBits(nullptr, nullptr, 3, 9, 0), 1);  // count 0 reads neither array
}

}  // namespace
