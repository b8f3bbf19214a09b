// Zr_BitSize: a length counted in bits, held as whole bytes plus further bits.
//
// The length is m_bytes * 8 + m_bits. A size is not kept normalised: m_bits
// may hold 8 or more and then simply adds that many bits, so (0, 26) and
// (3, 2) are the same length. A plain value: copy it freely; it owns nothing.
// Its text form only inserts into the stream; errno is not touched.
//
//   Zr_BitSize one_bit(0, 1);
//   std::cout << Zr_BitSize(3, 2);   // "(3, 2)"
//
// Not synchronised: like an int, a size may be read by any number of threads
// while no thread writes it.
#ifndef ZR_BITSIZE_H
#define ZR_BITSIZE_H

#include <stdint.h>
#include <tvo/revision.h>

#include <ostream>

class Zr_BitSize {
 public:
  // The empty length, (0, 0).
  Zr_BitSize() : m_bytes(0), m_bits(0) {}
  // A length of `bytes` * 8 + `bits` bits.
  Zr_BitSize(uint64_t bytes, uint8_t bits) : m_bytes(bytes), m_bits(bits) {}

  uint64_t m_bytes;  // whole bytes
  uint8_t m_bits;    // further bits (may exceed 7)
};

// Writes "(" m_bytes ", " m_bits ")" with the stream's integer formatting
// (m_bits as a number, not a character), no newline; returns `stream`.
std::ostream& operator<<(std::ostream& stream, Zr_BitSize const& size);

#endif  // ZR_BITSIZE_H
