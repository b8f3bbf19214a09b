#include "Zr_Utils.h"

#include "internal/zr_bitscan.h"

TVO_REVISION_IDENT();

// ---------------------------------------------------------------------------
// Bit helpers.

int Zr_MatchBits(unsigned char* a, unsigned char* b, unsigned int a_offset, unsigned int b_offset,
                 unsigned int count) {
  if (count == 0) return 1;
  return zr_bits::CompareIntervals(a, a_offset, b, b_offset, count) == 0;
}

unsigned long Zr_BitsToBytes(unsigned long bits) {
  // Not (bits + 7) / 8: that wraps to 0 for the last 7 counts below 2^64.
  return bits / 8 + (bits % 8 != 0);
}

// ---------------------------------------------------------------------------
