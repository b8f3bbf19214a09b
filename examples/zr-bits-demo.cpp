// zr-bits-demo: bit runs inside byte arrays. Sets a run, prints it, compares
// two fingerprints stored at different bit offsets as little-endian numbers,
// and shows what a bad argument gets back.
#include <cstdio>
#include <iostream>

#include "zrshared.h"

int main() {
  char flags[2] = {0, 0};
  Zr_BitArraySet(flags, 3, 1, 10);
  std::printf("set bits 3..12 of two zero bytes: %02X %02X\n", flags[0] & 0xFF, flags[1] & 0xFF);
  std::cout << "as bits, lowest first: ";
  BitArrayToStream(Zr_BitPointer(flags, 0), Zr_BitSize(2, 0), std::cout) << "\n";

  // Two 40-bit fingerprints, one stored from bit 0, the other from bit 4.
  char left[5] = {0x21, 0x43, 0x65, static_cast<char>(0x87), 0x09};
  char right[6] = {};
  for (unsigned long i = 0; i < 40; ++i)
    Zr_BitArraySet(right, 4 + i, (left[i / 8] >> (i % 8)) & 1, 1);
  const Zr_BitPointer a(left, 0), b(right, 4);
  const Zr_BitSize size(5, 0);
  std::cout << "fingerprints at " << a << " and " << b << ", size " << size << ": ";
  std::cout << "compare = " << Zr_BitArrayLittleEndianCompare(a, b, size);
  std::cout << ", match = "
            << Zr_MatchBits(reinterpret_cast<unsigned char*>(left),
                            reinterpret_cast<unsigned char*>(right), 0, 4, 40)
            << "\n";
  right[5] ^= 0x08;  // the top bit of the right-hand run
  std::cout << "after flipping the right one's top bit: compare = "
            << Zr_BitArrayLittleEndianCompare(a, b, size) << "\n";
  std::cout << "bytes for 1 Mibit: " << Zr_BitsToBytes(1ul << 20) << "\n";

  try {
    Zr_BitArraySet(flags, 0, 2, 1);
  } catch (const Zr_ErrnoException& e) {
    char text[128];
    std::cout << "value 2 refused: errno " << e.GetErrno() << " (" << e.GetString(text, sizeof text)
              << ")\n";
  }
  return 0;
}
