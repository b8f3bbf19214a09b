// Private to libzrshared: the search engine behind the bit-interval compare
// and Zr_MatchBits. Not installed, not exported.
#ifndef ZR_INTERNAL_BITSCAN_H
#define ZR_INTERNAL_BITSCAN_H

#include <stdint.h>
#include <tvo/revision.h>

namespace zr_bits {

// Compares the `count`-bit intervals that begin `a_offset` bits after `a` and
// `b_offset` bits after `b` as little-endian unsigned integers: -1, 0 or +1.
// Checks nothing; reads only the bytes that hold the two intervals (none
// when `count` is 0).
__attribute__((visibility("hidden"))) int CompareIntervals(const unsigned char* a,
                                                           uint64_t a_offset,
                                                           const unsigned char* b,
                                                           uint64_t b_offset, uint64_t count);

}  // namespace zr_bits

#endif  // ZR_INTERNAL_BITSCAN_H
