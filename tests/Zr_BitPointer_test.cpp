// Bit pointers and sizes: advancing and text forms.
#include "Zr_BitPointer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

namespace {

using testing::PrintToString;  // prints through the type's operator<<

TEST(BitPointer, AdvancesAndWritesItsText) {
  for (auto [bit, size, want] : {
           std::tuple<uint8_t, Zr_BitSize, const char*>{7, {0, 1}, "(4097, 0)"},
           {6, {2, 5}, "(4099, 3)"},      // carries out of the bits into the bytes
           {13, {0, 0}, "(4097, 5)"},     // a hand-set bit above 7 comes out normalised
           {255, {0, 255}, "(4159, 6)"},  // unnormalised, widest: summed in 64 bits
           {3, {1ul << 40, 0}, "(1099511631872, 3)"},
       }) {
    Zr_BitPointer moved(reinterpret_cast<char*>(4096), bit);
    EXPECT_EQ(PrintToString(moved + size), want);
    EXPECT_EQ(&(moved += size), &moved);
    EXPECT_EQ(PrintToString(moved), want);
  }
  std::ostringstream hex;  // the stream's integer formatting applies
  hex << std::hex << Zr_BitPointer(reinterpret_cast<char*>(0xBEEF), 7) << Zr_BitSize(255, 10);
  EXPECT_EQ(hex.str(), "(beef, 7)(ff, a)");
}

}  // namespace
