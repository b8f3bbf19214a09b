// Private to libzrshared: the search engine behind the bit-interval compare
// and Zr_MatchBits. Not installed, not exported.
#ifndef ZR_INTERNAL_BITSCAN_H
#define ZR_INTERNAL_BITSCAN_H

#include <stdint.h>
#include <tvo/revision.h>

namespace zr_bits {

// Compares the `count`-bit intervals that begin `a_offset` bits after `a` and
// `b_offset` bits after `b` as little-endian unsigned integers: -1, 0 or +1.
// `count` is at least 1; nothing else is checked. Reads only the bytes that
// hold the two intervals.
__attribute__((visibility("hidden"))) int CompareIntervals(const unsigned char* a,
                                                           uint64_t a_offset,
                                                           const unsigned char* b,
                                                           uint64_t b_offset, uint64_t count);

// The AVX2 search (Zr_BitInterval_avx2.cpp; only after the CPU check) over
// `chunks` chunks of 256 interval bits: chunk k is a[32k .. 32k + 31], whole
// bytes, against the same bits of b, which start at bit `r` (0..7) of
// b[32k]. Returns 0 when every chunk is equal; else a count h such that the
// chunks from h up are equal and one of the (at most four) chunks below h
// differs. Reads b[32 * chunks] too when `r` is not 0.
__attribute__((visibility("hidden"))) uint64_t SearchChunksAvx2(const unsigned char* a,
                                                                const unsigned char* b, unsigned r,
                                                                uint64_t chunks);

}  // namespace zr_bits

#endif  // ZR_INTERNAL_BITSCAN_H
