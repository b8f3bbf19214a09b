// Bit arrays: setting a run of bits, writing a run as text, and (through
// Zr_BitInterval.h) comparing two runs as little-endian unsigned integers.
//
// A run is given as a byte array plus a bit offset (which may exceed 7) plus
// a bit count, or as a Zr_BitPointer plus a Zr_BitSize. Bits are numbered as
// in Zr_BitPointer.h: bit 0 of a byte is its least significant bit, and a run
// goes upward through bits 0..7 of each byte into the next byte.
//
//   char bytes[2] = {0, 0};
//   Zr_BitArraySet(bytes, 3, 1, 10);              // bytes are now 0xF8 0x1F
//   BitArrayToStream(Zr_BitPointer(bytes, 0), Zr_BitSize(2, 0), std::cout);
//                                                 // "0001111111111000"
//
// The arrays belong to the caller, who guarantees that every byte holding a
// bit of a run exists; no function touches any other byte. Thread safety: no
// state and no locks; call from any thread on memory that no other thread
// writes meanwhile.
#ifndef ZR_BITARRAY_H
#define ZR_BITARRAY_H

#include <tvo/revision.h>

#include <ostream>

#include "Zr_BitInterval.h"
#include "Zr_BitPointer.h"
#include "Zr_BitSize.h"
#include "Zr_ErrnoException.h"

// Sets the `count` bits that begin `offset` bits after the start of `array`
// to `value`, which must be 0 or 1; every other bit keeps its value. Whole
// bytes inside the run are filled at once.
// Throws Zr_ErrnoException(EINVAL), empty message, before touching any bit:
// when `array` is null and `count` is not 0, and when `value` is neither 0
// nor 1 (checked even when `count` is 0). errno is not changed.
void Zr_BitArraySet(char* array, unsigned long offset, char value, unsigned long count);

// Writes the `size` bits from `start` as '0' and '1' characters, the run's
// least significant (first) bit first: the byte 0x01 as 8 bits reads
// "10000000". No separator, prefix, newline or fill; nothing at all for an
// empty size. A pointer whose m_bit exceeds 7 counts it as an offset.
// Returns `stream`. Checks nothing; never throws by itself.
std::ostream& BitArrayToStream(Zr_BitPointer const& start, Zr_BitSize const& size,
                               std::ostream& stream);

#endif  // ZR_BITARRAY_H
