// Zr_BitPointer: the position of one bit inside a caller-owned byte array.
//
// Bits of a byte are numbered 0 (least significant, value 1) to 7 (most
// significant, value 128). Walking upward runs through bits 0..7 of one byte,
// then bit 0 of the byte at the next higher address. A pointer advanced by a
// Zr_BitSize gives the position just past a bit range.
//
//   char buf[4] = {};
//   Zr_BitPointer p(buf, 6);
//   p += Zr_BitSize(2, 5);           // now (buf + 3, bit 3)
//   std::cout << p;                  // "(<address as integer>, 3)"
//
// A plain value: it neither owns nor checks the memory it points into.
// Advancing never fails; the text form only inserts into the stream, which
// throws only if its owner enabled stream exceptions. errno is not touched.
// Not synchronised: any number of threads may read one while none writes it.
#ifndef ZR_BITPOINTER_H
#define ZR_BITPOINTER_H

#include <stdint.h>
#include <tvo/revision.h>

#include <ostream>

#include "Zr_BitSize.h"

class Zr_BitPointer {
 public:
  // A null pointer at bit 0.
  Zr_BitPointer() : m_byte(0), m_bit(0) {}
  // Bit `bit` of the byte at `byte`. A `bit` above 7 is kept as given and
  // normalised by the first advance.
  Zr_BitPointer(char* byte, uint8_t bit) : m_byte(byte), m_bit(bit) {}

  // Advances this pointer by `size` bits and returns it. Afterwards m_bit is
  // in 0..7, whatever it held before. The bit sum is formed in 64 bits, so
  // no field overflows.
  Zr_BitPointer& operator+=(Zr_BitSize const& size);

  char* m_byte;   // the byte that holds the bit
  uint8_t m_bit;  // the bit within that byte, 0..7
};

// A new pointer: `pointer` advanced by `size`; the operands are unchanged.
Zr_BitPointer operator+(Zr_BitPointer const& pointer, Zr_BitSize const& size);

// Writes "(" address ", " bit ")": the address as an unsigned 64-bit integer
// (not in pointer notation) and the bit as a number, both with the stream's
// integer formatting; no newline. Returns `stream`.
std::ostream& operator<<(std::ostream& stream, Zr_BitPointer const& pointer);

#endif  // ZR_BITPOINTER_H
