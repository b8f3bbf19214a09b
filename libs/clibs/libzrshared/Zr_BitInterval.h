// Little-endian comparison of two bit intervals of equal length.
//
// Each interval of `count` bits is read as an unsigned integer whose least
// significant bit is the interval's first bit (at its offset) and whose most
// significant bit is its last (offset + count - 1). Bits are numbered as in
// Zr_BitPointer.h: bit 0 of a byte is its least significant bit, and an
// interval runs upward through bits 0..7 of each byte into the next byte.
// With offsets 0 and a count that is a multiple of 8 this is the comparison
// of two little-endian multi-byte unsigned numbers.
//
//   const char x[2] = {0x01, 0x00}, y[2] = {0x00, 0x01};
//   Zr_BitArrayLittleEndianCompare(x, 0, y, 0, 16);   // -1: 1 < 256
//
// Two forms with one contract: Zr_BitArrayLittleEndianCompare settles 64
// bits per step, 1024 with AVX2 where the processor has it, and is the one
// to use; _Zr_BitArrayLittleEndianCompare walks one bit at a time
// from the top and serves as the reference. Both return the same result for
// every input, for any 64-bit count.
//
// Offsets are bit counts from the start of an array and may exceed 7. The
// Zr_BitPointer overloads use the pointer's m_byte and m_bit as array and
// offset and size.m_bytes * 8 + size.m_bits as the count.
//
// Results: -1 when a's integer is smaller, +1 when it is larger, 0 when they
// are equal or `count` is 0 (whatever the pointers). A null array with a
// non-zero count throws Zr_ErrnoException(EINVAL) with an empty message;
// errno is not changed. No other check is made: the caller guarantees that
// every byte holding a bit of either interval exists. No byte outside those
// bytes is read, and nothing is written or allocated.
//
// Thread safety: no state and no locks; call from any thread on memory that
// no other thread writes meanwhile.
#ifndef ZR_BITINTERVAL_H
#define ZR_BITINTERVAL_H

#include <tvo/revision.h>

#include "Zr_BitPointer.h"
#include "Zr_BitSize.h"
#include "Zr_ErrnoException.h"

// Reference form: one bit at a time, from the most significant bit down.
int _Zr_BitArrayLittleEndianCompare(char const* a, unsigned long a_offset, char const* b,
                                    unsigned long b_offset, unsigned long count);
int _Zr_BitArrayLittleEndianCompare(Zr_BitPointer const& a, Zr_BitPointer const& b,
                                    Zr_BitSize const& size);

// Word-at-a-time form, for long intervals; same results as the reference.
int Zr_BitArrayLittleEndianCompare(char const* a, unsigned long a_offset, char const* b,
                                   unsigned long b_offset, unsigned long count);
int Zr_BitArrayLittleEndianCompare(Zr_BitPointer const& a, Zr_BitPointer const& b,
                                   Zr_BitSize const& size);

#endif  // ZR_BITINTERVAL_H
