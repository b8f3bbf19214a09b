// Adler-32 with AVX-512BW: 128 bytes per step. Compiled with -mavx512bw;
// called only after the CPU check. Includes nothing that defines inline
// functions other than the intrinsics, so no AVX-512 code can leak into
// shared inline symbols.
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

TVO_REVISION_IDENT();

__attribute__((visibility("hidden"))) uint32_t zr_adler32_portable(uint32_t adler,
                                                                   const unsigned char* data,
                                                                   size_t len);

namespace {

alignas(64) const signed char kTaps[64] = {
    64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
    42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21,
    20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1};

// Once per run, so a plain store is fast enough; it also avoids the
// intrinsic reductions, which some compilers warn about.
inline uint32_t Sum32(__m512i v) {
  alignas(64) uint32_t lanes[16];
  _mm512_store_si512(lanes, v);
  uint32_t total = 0;
  for (uint32_t lane : lanes) total += lane;
  return total;
}

}  // namespace

// The AVX2 path's scheme at twice the width: a = bytes 0..63, b = bytes
// 64..127 of a step; byte j of a weighs 128 (n - 1 - i) + 64 + (64 - j), of
// b 128 (n - 1 - i) + (64 - j). A tap product pair reaches
// 255 * (64 + 63) = 32385, so a's and b's are widened to 32 bits separately.
// 43 steps (5504 bytes) per reduction.
__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx512(uint32_t adler,
                                                                 const unsigned char* data,
                                                                 size_t len) {
  const uint32_t base = 65521;
  const size_t run_steps = 5552 / 128;
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  size_t steps = len / 128;
  const __m512i taps = _mm512_load_si512(kTaps);
  const __m512i ones = _mm512_set1_epi16(1);
  const __m512i zero = _mm512_setzero_si512();
  while (steps > 0) {
    size_t n = steps < run_steps ? steps : run_steps;
    steps -= n;
    __m512i sum = zero, prefix = zero, first = zero, dot = zero;
    for (size_t i = 0; i < n; ++i, data += 128) {
      __m512i a = _mm512_loadu_si512(data);
      __m512i b = _mm512_loadu_si512(data + 64);
      prefix = _mm512_add_epi32(prefix, sum);
      __m512i sa = _mm512_sad_epu8(a, zero);
      first = _mm512_add_epi32(first, sa);
      sum = _mm512_add_epi32(sum, _mm512_add_epi32(sa, _mm512_sad_epu8(b, zero)));
      __m512i da = _mm512_madd_epi16(_mm512_maddubs_epi16(a, taps), ones);
      __m512i db = _mm512_madd_epi16(_mm512_maddubs_epi16(b, taps), ones);
      dot = _mm512_add_epi32(dot, _mm512_add_epi32(da, db));
    }
    s2 += s1 * static_cast<uint32_t>(128 * n) + (Sum32(prefix) << 7) + (Sum32(first) << 6) +
          Sum32(dot);
    s1 += Sum32(sum);
    s1 %= base;
    s2 %= base;
  }
  return zr_adler32_portable(s2 << 16 | s1, data, len % 128);
}
