// The Adler-32 vector kernel, shared by the instruction-set units
// (Zr_Adler32_ssse3.cpp, _avx2.cpp, _avx512.cpp, _avx512vnni.cpp). Each
// includes this file after defining a struct of vector operations and
// instantiates VectorAdler32 with it. Everything here has internal linkage,
// so code compiled for one instruction set can never stand in for another's.
//
// The struct provides, for vectors of kWidth bytes (a power of two):
//   Vec                   the vector type
//   Load(p)               kWidth unaligned bytes
//   Zero(), Taps()        all zero; the signed bytes kWidth, kWidth - 1, ..., 1
//   Add(x, y)             32-bit lane sums
//   ShiftLeft(x, k)       32-bit lanes shifted left by k (a constant)
//   ByteSums(x)           lanes holding sums of x's bytes (vpsadbw against 0)
//   DotAdd(dot, a, b, taps)
//                         adds a_j * taps_j + b_j * taps_j into the 32-bit
//                         lanes of dot[0] and dot[1] (how it splits them is
//                         the struct's choice)
//   DotAdd(dot, a, taps)  the same for a alone
//   Sum(x)                the sum of the 32-bit lanes
#ifndef ZR_INTERNAL_ADLER32_KERNEL_H
#define ZR_INTERNAL_ADLER32_KERNEL_H

#define ZR_ADLER32_VECTOR_UNIT
#include "zr_adler32.h"

namespace {

constexpr int Log2(size_t n) { return n > 1 ? 1 + Log2(n / 2) : 0; }

// A step loads a = bytes [0, w) and b = bytes [w, 2w). Over a run of n
// steps, byte j of a in step i weighs 2w (n - 1 - i) + w + (w - j) in s2,
// byte j of b 2w (n - 1 - i) + (w - j): the tap products cover w - j, the
// prefix sums of the step totals cover 2w (n - 1 - i), and the sum of the a
// halves covers the extra w. When w to 2w - 1 bytes are left after the last
// step, the last run takes one more vector of w bytes: every byte before it
// then weighs w more, and its own bytes w - j. Runs hold at most 5552 bytes,
// so, as for the scalar loop, s2 stays below 2^32 until the reduction modulo
// 65521: every lane sum and product is exact modulo 2^32, and so is their
// total. Only the s1 and s2 vectors are summed across lanes, once per run.
// The fewer than w bytes left go the portable way.
// One run of n steps (and, if `single`, one more vector) folded into s1 and
// s2, which are reduced again at its end.
template <class Ops>
__attribute__((always_inline)) inline void Run(uint32_t& s1, uint32_t& s2,
                                               const unsigned char*& data, size_t n, bool single) {
  typedef typename Ops::Vec Vec;
  const size_t w = Ops::kWidth, step = 2 * w;
  const Vec taps = Ops::Taps();
  Vec sum = Ops::Zero(), prefix = Ops::Zero(), first = Ops::Zero();
  Vec dot[2] = {Ops::Zero(), Ops::Zero()};
  for (size_t i = 0; i < n; ++i, data += step) {
    const Vec a = Ops::Load(data), b = Ops::Load(data + w);
    prefix = Ops::Add(prefix, sum);
    const Vec sa = Ops::ByteSums(a);
    if (!Ops::kTapsFromZero) first = Ops::Add(first, sa);
    sum = Ops::Add(sum, Ops::Add(sa, Ops::ByteSums(b)));
    Ops::DotAdd(dot, a, b, taps);
  }
  Vec weighted = Ops::ShiftLeft(prefix, Log2(step));
  if (!Ops::kTapsFromZero) weighted = Ops::Add(weighted, Ops::ShiftLeft(first, Log2(w)));
  uint32_t bytes = static_cast<uint32_t>(step * n);
  if (single) {
    const Vec a = Ops::Load(data);
    data += w;
    bytes += w;
    weighted = Ops::Add(weighted, Ops::ShiftLeft(sum, Log2(w)));
    sum = Ops::Add(sum, Ops::ByteSums(a));
    Ops::DotAdd(dot, a, taps);
  }
  if (Ops::kTapsFromZero) weighted = Ops::Add(weighted, sum);
  s2 += s1 * bytes + Ops::Sum(Ops::Add(weighted, Ops::Add(dot[0], dot[1])));
  s1 += Ops::Sum(sum);
  s1 %= 65521;
  s2 %= 65521;
}

template <class Ops>
uint32_t VectorAdler32(uint32_t adler, const unsigned char* data, size_t len) {
  const size_t w = Ops::kWidth, step = 2 * w, run_steps = (5552 - w) / step;
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  size_t steps = len / step;
  for (; steps > run_steps; steps -= run_steps) Run<Ops>(s1, s2, data, run_steps, false);
  const bool single = len % step >= w;
  if (steps > 0 || single) Run<Ops>(s1, s2, data, steps, single);
  len %= w;
  return len == 0 ? s2 << 16 | s1 : zr_adler32_portable(s2 << 16 | s1, data, len);
}

}  // namespace

#endif  // ZR_INTERNAL_ADLER32_KERNEL_H
