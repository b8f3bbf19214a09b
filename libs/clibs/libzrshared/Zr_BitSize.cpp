#include "Zr_BitSize.h"

TVO_REVISION_IDENT();

std::ostream& operator<<(std::ostream& stream, Zr_BitSize const& size) {
  return stream << "(" << size.m_bytes << ", " << static_cast<unsigned>(size.m_bits) << ")";
}
