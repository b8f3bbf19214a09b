#include "Zr_BitPointer.h"

TVO_REVISION_IDENT();

Zr_BitPointer& Zr_BitPointer::operator+=(Zr_BitSize const& size) {
  const uint64_t total = static_cast<uint64_t>(m_bit) + static_cast<uint64_t>(size.m_bits);
  // Integer arithmetic: the pointer is a plain address that need not point
  // into an object (nor be non-null) for the sum to be well defined.
  m_byte = reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(m_byte) + size.m_bytes + total / 8);
  m_bit = static_cast<uint8_t>(total % 8);
  return *this;
}

Zr_BitPointer operator+(Zr_BitPointer const& pointer, Zr_BitSize const& size) {
  Zr_BitPointer result(pointer);
  result += size;
  return result;
}

std::ostream& operator<<(std::ostream& stream, Zr_BitPointer const& pointer) {
  return stream << "(" << static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer.m_byte)) << ", "
                << static_cast<unsigned>(pointer.m_bit) << ")";
}
