#include "Zr_BitArray.h"

#include <errno.h>
#include <string.h>

TVO_REVISION_IDENT();

namespace {

// Puts `fill`'s bits under `mask` into *p, keeping the others.
inline void MergeByte(unsigned char* p, unsigned mask, unsigned char fill) {
  *p = static_cast<unsigned char>((*p & ~mask) | (fill & mask));
}

}  // namespace

void Zr_BitArraySet(char* array, unsigned long offset, char value, unsigned long count) {
  if (array == NULL && count != 0) throw Zr_ErrnoException(EINVAL);
  // A negative value would smear its sign bits over the neighbours of a
  // masked bit; only 0 and 1 mean anything.
  const signed char v = static_cast<signed char>(value);
  if (v < 0 || v > 1) throw Zr_ErrnoException(EINVAL);
  if (count == 0) return;

  unsigned char* p = reinterpret_cast<unsigned char*>(array) + offset / 8;
  const unsigned first = offset % 8;
  const unsigned char fill = v ? 0xFF : 0x00;
  uint64_t left = count;
  if (first != 0) {
    const unsigned n = left < 8 - first ? static_cast<unsigned>(left) : 8 - first;
    MergeByte(p++, ((1u << n) - 1) << first, fill);
    left -= n;
  }
  memset(p, fill, left / 8);
  p += left / 8;
  if (left % 8 != 0) MergeByte(p, (1u << (left % 8)) - 1, fill);
}

std::ostream& BitArrayToStream(Zr_BitPointer const& start, Zr_BitSize const& size,
                               std::ostream& stream) {
  uint64_t left = size.m_bytes * 8 + static_cast<uint64_t>(size.m_bits);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(start.m_byte) + start.m_bit / 8;
  unsigned bit = start.m_bit % 8;
  // Built in blocks: one stream call per character would dominate long runs.
  char text[512];
  while (left != 0) {
    size_t n = 0;
    for (; n < sizeof text && left != 0; ++n, --left) {
      text[n] = static_cast<char>('0' + ((*p >> bit) & 1));
      if (++bit == 8) {
        bit = 0;
        ++p;
      }
    }
    stream.write(text, static_cast<std::streamsize>(n));
  }
  return stream;
}
