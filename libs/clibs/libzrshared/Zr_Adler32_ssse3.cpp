// Adler-32 with SSSE3: 32 bytes per step. Compiled with -mssse3; called only
// after the CPU check. Includes nothing that defines inline functions other
// than the intrinsics, so no SSSE3 code can leak into shared inline symbols.
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

TVO_REVISION_IDENT();

__attribute__((visibility("hidden"))) uint32_t zr_adler32_portable(uint32_t adler,
                                                                   const unsigned char* data,
                                                                   size_t len);

namespace {

alignas(16) const signed char kTaps[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

inline uint32_t Sum32(__m128i x) {
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

}  // namespace

// The AVX2 path's scheme at half the width: a = bytes 0..15, b = bytes
// 16..31 of a step; byte j of a weighs 32 (n - 1 - i) + 16 + (16 - j), of b
// 32 (n - 1 - i) + (16 - j). 173 steps (5536 bytes) per reduction.
__attribute__((visibility("hidden"))) uint32_t zr_adler32_ssse3(uint32_t adler,
                                                                const unsigned char* data,
                                                                size_t len) {
  const uint32_t base = 65521;
  const size_t run_steps = 5552 / 32;
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  size_t steps = len / 32;
  const __m128i taps = _mm_load_si128(reinterpret_cast<const __m128i*>(kTaps));
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  while (steps > 0) {
    size_t n = steps < run_steps ? steps : run_steps;
    steps -= n;
    __m128i sum = zero, prefix = zero, first = zero, dot = zero;
    for (size_t i = 0; i < n; ++i, data += 32) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
      prefix = _mm_add_epi32(prefix, sum);
      __m128i sa = _mm_sad_epu8(a, zero);
      first = _mm_add_epi32(first, sa);
      sum = _mm_add_epi32(sum, _mm_add_epi32(sa, _mm_sad_epu8(b, zero)));
      __m128i w = _mm_add_epi16(_mm_maddubs_epi16(a, taps), _mm_maddubs_epi16(b, taps));
      dot = _mm_add_epi32(dot, _mm_madd_epi16(w, ones));
    }
    s2 += s1 * static_cast<uint32_t>(32 * n) + (Sum32(prefix) << 5) + (Sum32(first) << 4) +
          Sum32(dot);
    s1 += Sum32(sum);
    s1 %= base;
    s2 %= base;
  }
  return zr_adler32_portable(s2 << 16 | s1, data, len % 32);
}
