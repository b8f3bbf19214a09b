// Bit pointers and sizes: advancing and text forms.
#include "Zr_BitPointer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

template <typename T>
std::string Text(const T& value) {
  std::ostringstream out;
  EXPECT_EQ(&(out << value), &out);
  return out.str();
}

char* At(uintptr_t address) { return reinterpret_cast<char*>(address); }

TEST(BitPointer, AdvancesByBytesAndUnnormalisedBits) {
  struct Case {
    uint8_t bit;
    Zr_BitSize size;
    uintptr_t want_byte;
    uint8_t want_bit;
  } cases[] = {
      {7, {0, 1}, 1001, 0},      // past bit 7 into the next byte
      {6, {2, 5}, 1003, 3},      // carries out of the bits into the bytes
      {0, {0, 20}, 1002, 4},     // unnormalised size
      {0, {0, 0}, 1000, 0},      // no move
      {13, {0, 0}, 1001, 5},     // a hand-set bit above 7 comes out normalised
      {255, {0, 255}, 1063, 6},  // both at their widest: summed in 64 bits
      {3, {uint64_t(1) << 40, 0}, 1000 + (uintptr_t(1) << 40), 3},
  };
  for (const Case& c : cases) {
    const Zr_BitPointer start(At(1000), c.bit);
    const Zr_BitPointer sum = start + c.size;
    EXPECT_EQ(sum.m_byte, At(c.want_byte)) << int(c.bit);
    EXPECT_EQ(sum.m_bit, c.want_bit) << int(c.bit);
    EXPECT_EQ(start.m_byte, At(1000));  // + leaves its operands alone
    EXPECT_EQ(start.m_bit, c.bit);
    Zr_BitPointer moved(start);
    EXPECT_EQ(&(moved += c.size), &moved);
    EXPECT_EQ(Text(moved), Text(sum));
  }
  // Stepping one bit at a time agrees with one big step.
  Zr_BitPointer walk(At(0), 5), leap = walk + Zr_BitSize(0, 203);
  for (int i = 0; i < 203; ++i) walk += Zr_BitSize(0, 1);
  EXPECT_EQ(walk.m_byte, leap.m_byte);
  EXPECT_EQ(walk.m_bit, leap.m_bit);
}

TEST(BitPointer, TextFormsAreIntegersWithTheStreamsFormatting) {
  EXPECT_EQ(Text(Zr_BitPointer(At(4096), 5)), "(4096, 5)");
  EXPECT_EQ(Text(Zr_BitPointer()), "(0, 0)");
  EXPECT_EQ(Text(Zr_BitSize(3, 2)), "(3, 2)");
  EXPECT_EQ(Text(Zr_BitSize(0, 26)), "(0, 26)");
  EXPECT_EQ(Text(Zr_BitSize()), "(0, 0)");
  EXPECT_EQ(Text(Zr_BitSize(UINT64_MAX, 255)), "(18446744073709551615, 255)");
  std::ostringstream hex;
  hex << std::hex << Zr_BitPointer(At(0xBEEF), 7) << Zr_BitSize(255, 10);
  EXPECT_EQ(hex.str(), "(beef, 7)(ff, a)");
}

}  // namespace
