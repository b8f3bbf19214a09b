// The Adler-32 vector kernel, shared by the instruction-set units
// (Zr_Adler32_ssse3.cpp, _avx2.cpp, _avx512.cpp). Each includes this file
// after defining a struct of vector operations and instantiates
// VectorAdler32 with it. Everything here has internal linkage, so code
// compiled for one instruction set can never stand in for another's.
//
// The struct provides, for vectors of kWidth bytes:
//   Vec                   the vector type
//   Load(p)               kWidth unaligned bytes
//   Zero(), Taps()        all zero; the signed bytes kWidth, kWidth - 1, ..., 1
//   Add(x, y)             32-bit lane sums
//   ByteSums(x)           lanes holding sums of x's bytes (vpsadbw against 0)
//   Dot(a, b, taps)       32-bit lanes summing a_j * taps_j + b_j * taps_j
//   Sum(x)                the sum of the 32-bit lanes
#ifndef ZR_INTERNAL_ADLER32_KERNEL_H
#define ZR_INTERNAL_ADLER32_KERNEL_H

#define ZR_ADLER32_VECTOR_UNIT
#include "zr_adler32.h"

namespace {

// A step loads a = bytes [0, w) and b = bytes [w, 2w). Over a run of n
// steps, byte j of a in step i weighs 2w (n - 1 - i) + w + (w - j) in s2,
// byte j of b 2w (n - 1 - i) + (w - j): the tap products cover w - j, the
// prefix sums of the step totals cover 2w (n - 1 - i), and the sum of the a
// halves covers the extra w. Runs stop at the last whole step within 5552
// bytes, so, as for the scalar loop, no 32-bit sum can wrap before the
// reduction modulo 65521. The tail of fewer than 2w bytes goes the portable
// way.
template <class Ops>
uint32_t VectorAdler32(uint32_t adler, const unsigned char* data, size_t len) {
  typedef typename Ops::Vec Vec;
  const uint32_t base = 65521;
  const size_t w = Ops::kWidth, step = 2 * Ops::kWidth, run_steps = 5552 / step;
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  const Vec taps = Ops::Taps();
  for (size_t steps = len / step; steps > 0;) {
    const size_t n = steps < run_steps ? steps : run_steps;
    steps -= n;
    Vec sum = Ops::Zero(), prefix = Ops::Zero(), first = Ops::Zero(), dot = Ops::Zero();
    for (size_t i = 0; i < n; ++i, data += step) {
      const Vec a = Ops::Load(data), b = Ops::Load(data + w);
      prefix = Ops::Add(prefix, sum);
      const Vec sa = Ops::ByteSums(a);
      first = Ops::Add(first, sa);
      sum = Ops::Add(sum, Ops::Add(sa, Ops::ByteSums(b)));
      dot = Ops::Add(dot, Ops::Dot(a, b, taps));
    }
    s2 += s1 * static_cast<uint32_t>(step * n) + Ops::Sum(prefix) * static_cast<uint32_t>(step) +
          Ops::Sum(first) * static_cast<uint32_t>(w) + Ops::Sum(dot);
    s1 += Ops::Sum(sum);
    s1 %= base;
    s2 %= base;
  }
  return zr_adler32_portable(s2 << 16 | s1, data, len % step);
}

}  // namespace

#endif  // ZR_INTERNAL_ADLER32_KERNEL_H
