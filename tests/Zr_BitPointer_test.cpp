// Bit pointers and sizes: advancing and text forms.
#include "Zr_BitPointer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

template <typename T>
std::string Text(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

char* At(uintptr_t address) { return reinterpret_cast<char*>(address); }

TEST(BitPointer, AdvancesByBytesAndUnnormalisedBits) {
  struct Case {
    uint8_t bit;
    Zr_BitSize size;
    std::string want;
  } cases[] = {
      {7, {0, 1}, "(1001, 0)"},      // past bit 7 into the next byte
      {6, {2, 5}, "(1003, 3)"},      // carries out of the bits into the bytes
      {0, {0, 20}, "(1002, 4)"},     // unnormalised size
      {0, {0, 0}, "(1000, 0)"},      // no move
      {13, {0, 0}, "(1001, 5)"},     // a hand-set bit above 7 comes out normalised
      {255, {0, 255}, "(1063, 6)"},  // both at their widest: summed in 64 bits
      {3, {1ul << 40, 0}, "(1099511628776, 3)"},
  };
  for (const Case& c : cases) {
    const Zr_BitPointer start(At(1000), c.bit);
    EXPECT_EQ(Text(start + c.size), c.want);
    EXPECT_EQ(start.m_bit, c.bit);  // the operands are unchanged
    Zr_BitPointer moved(start);
    EXPECT_EQ(&(moved += c.size), &moved);
    EXPECT_EQ(Text(moved), c.want);
  }
}

TEST(BitPointer, TextFormsFollowTheStreamsIntegerFormatting) {
  EXPECT_EQ(Text(Zr_BitPointer(At(4096), 5)), "(4096, 5)");
  EXPECT_EQ(Text(Zr_BitSize(3, 2)), "(3, 2)");
  EXPECT_EQ(Text(Zr_BitSize(0, 26)), "(0, 26)");
  EXPECT_EQ(Text(Zr_BitSize()), "(0, 0)");
  std::ostringstream hex;
  hex << std::hex << Zr_BitPointer(At(0xBEEF), 7) << Zr_BitSize(255, 10);
  EXPECT_EQ(hex.str(), "(beef, 7)(ff, a)");
}

}  // namespace
