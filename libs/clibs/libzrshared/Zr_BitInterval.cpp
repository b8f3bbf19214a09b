#include "Zr_BitInterval.h"

#include <errno.h>
#include <string.h>

#include "internal/zr_bitscan.h"
#include "internal/zr_cpu.h"

TVO_REVISION_IDENT();

namespace zr_bits {
namespace {

// How the search works. A difference only matters at its most significant
// position, so the intervals are searched from the top down in windows of
// 64 bits (and, with AVX2, chunks of 256 bits: Zr_BitInterval_avx2.cpp).
// Window w covers interval bits [w, w + 64); comparing two windows as plain unsigned numbers gives
// the answer for the highest differing bit inside them. Windows may overlap the part already found
// equal, or reach below the part still to be searched: as long as every bit above a window is known
// equal, its highest difference is the interval's. Every window lies inside [0, count), and a
// window's bytes are exactly those holding its bits, so no byte outside the intervals is touched.

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);  // unaligned; x86-64 is little-endian
  return v;
}

// Interval bits [w, w + 64) of an interval whose first bit is bit `o` (0..7)
// of p[0], bit w in the lowest place. Requires w + 64 <= count.
inline uint64_t Window64(const unsigned char* p, unsigned o, uint64_t w) {
  const uint64_t first = o + w;
  const unsigned char* q = p + first / 8;
  const unsigned r = first % 8;
  uint64_t v = Load64(q);
  // With r > 0 the window's top r bits lie in q[8], which holds bit w + 63.
  if (r != 0) v = (v >> r) | (static_cast<uint64_t>(q[8]) << (64 - r));
  return v;
}

// All `n` (1..63) bits of a short interval, its first bit in the lowest place.
inline uint64_t ShortInterval(const unsigned char* p, unsigned o, uint64_t n) {
  const unsigned last = static_cast<unsigned>((o + n - 1) / 8);  // 0..8
  uint64_t v = 0;
  for (unsigned k = 0; k <= last && k < 8; ++k) v |= static_cast<uint64_t>(p[k]) << (8 * k);
  v >>= o;
  if (last == 8) v |= static_cast<uint64_t>(p[8]) << (64 - o);  // here o >= 2
  return v & ((static_cast<uint64_t>(1) << n) - 1);
}

inline int Order(uint64_t x, uint64_t y) { return x < y ? -1 : (x > y ? 1 : 0); }

struct Intervals {
  const unsigned char* pa;
  unsigned oa;
  const unsigned char* pb;
  unsigned ob;

  // Searches [from, to) top down, every bit from `to` up being known equal.
  // The intervals are at least 64 bits long and `to` is at most their length.
  int ScanDown(uint64_t from, uint64_t to) const {
    uint64_t top = to;
    while (top > from) {
      const uint64_t w = top >= 64 ? top - 64 : 0;
      const uint64_t x = Window64(pa, oa, w), y = Window64(pb, ob, w);
      if (x != y) return x < y ? -1 : 1;
      top = w;
    }
    return 0;
  }
};

// Asked once, on first use: the processor and the ceiling do not change
// while the process runs. Without AVX2 every interval goes through ScanDown
// alone.
bool UseAvx2() {
  static const bool use = zr_cpu::Best(zr_cpu::kAvx2) == zr_cpu::kAvx2;
  return use;
}

}  // namespace

int CompareIntervals(const unsigned char* a, uint64_t a_offset, const unsigned char* b,
                     uint64_t b_offset, uint64_t count) {
  Intervals iv = {a + a_offset / 8, static_cast<unsigned>(a_offset % 8), b + b_offset / 8,
                  static_cast<unsigned>(b_offset % 8)};
  if (count < 64) {
    return Order(ShortInterval(iv.pa, iv.oa, count), ShortInterval(iv.pb, iv.ob, count));
  }
  // Chunks start where a's bits start a byte, so a is read whole bytes at a
  // time and only b (when its offset differs modulo 8) needs shifting.
  const uint64_t base = (8 - iv.oa) % 8;
  const uint64_t chunks = (count - base) / 256;
  if (chunks != 0 && UseAvx2()) {
    const uint64_t chunk_end = base + 256 * chunks;
    if (int r = iv.ScanDown(chunk_end, count)) return r;
    const uint64_t b_first = iv.ob + base;
    const uint64_t h = SearchChunksAvx2(iv.pa + (iv.oa + base) / 8, iv.pb + b_first / 8,
                                        static_cast<unsigned>(b_first % 8), chunks);
    // A differing chunk lies just below h: the window search stops there.
    return iv.ScanDown(0, base + 256 * h);
  }
  return iv.ScanDown(0, count);
}

}  // namespace zr_bits

namespace {

inline int BitAt(const char* p, uint64_t position) {
  return (static_cast<unsigned char>(p[position / 8]) >> (position % 8)) & 1;
}

inline uint64_t TotalBits(Zr_BitSize const& size) {
  return size.m_bytes * 8 + static_cast<uint64_t>(size.m_bits);
}

}  // namespace

int _Zr_BitArrayLittleEndianCompare(char const* a, unsigned long a_offset, char const* b,
                                    unsigned long b_offset, unsigned long count) {
  if (a == NULL || b == NULL) {
    if (count != 0) throw Zr_ErrnoException(EINVAL);
    return 0;
  }
  // A 64-bit counter: every count the caller can pass is walked in full.
  for (uint64_t i = count; i-- > 0;) {
    const int x = BitAt(a, a_offset + i), y = BitAt(b, b_offset + i);
    if (x != y) return x ? 1 : -1;
  }
  return 0;
}

int _Zr_BitArrayLittleEndianCompare(Zr_BitPointer const& a, Zr_BitPointer const& b,
                                    Zr_BitSize const& size) {
  return _Zr_BitArrayLittleEndianCompare(a.m_byte, a.m_bit, b.m_byte, b.m_bit, TotalBits(size));
}

int Zr_BitArrayLittleEndianCompare(char const* a, unsigned long a_offset, char const* b,
                                   unsigned long b_offset, unsigned long count) {
  if (count == 0) return 0;
  if (a == NULL || b == NULL) throw Zr_ErrnoException(EINVAL);
  return zr_bits::CompareIntervals(reinterpret_cast<const unsigned char*>(a), a_offset,
                                   reinterpret_cast<const unsigned char*>(b), b_offset, count);
}

int Zr_BitArrayLittleEndianCompare(Zr_BitPointer const& a, Zr_BitPointer const& b,
                                   Zr_BitSize const& size) {
  return Zr_BitArrayLittleEndianCompare(a.m_byte, a.m_bit, b.m_byte, b.m_bit, TotalBits(size));
}
