// Adler-32 with AVX2: 64 bytes per step. Compiled with -mavx2; called only
// after the CPU check. Includes nothing that defines inline functions other
// than the intrinsics, so no AVX2 code can leak into shared inline symbols.
#include <immintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

TVO_REVISION_IDENT();

__attribute__((visibility("hidden"))) uint32_t zr_adler32_portable(uint32_t adler,
                                                                   const unsigned char* data,
                                                                   size_t len);

namespace {

alignas(32) const
    signed char kTaps[32] = {32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17,
                             16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1};

inline uint32_t Sum32(__m256i v) {
  __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
}

}  // namespace

// Each step loads a = bytes 0..31 and b = bytes 32..63. Over a run of n
// steps, byte j of a in step i weighs 64 (n - 1 - i) + 32 + (32 - j) in s2,
// byte j of b 64 (n - 1 - i) + (32 - j): the tap products cover 32 - j, the
// prefix sums of the step totals cover 64 (n - 1 - i), and the sum of the
// a halves covers the extra 32. A tap product pair is at most
// 255 * (32 + 31) = 16065, so a's and b's fit one 16-bit lane together.
// 86 steps (5504 bytes) keep every 32-bit sum below 2^32, as for the
// scalar 5552.
__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx2(uint32_t adler,
                                                               const unsigned char* data,
                                                               size_t len) {
  const uint32_t base = 65521;
  const size_t run_steps = 5552 / 64;
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  size_t steps = len / 64;
  const __m256i taps = _mm256_load_si256(reinterpret_cast<const __m256i*>(kTaps));
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  while (steps > 0) {
    size_t n = steps < run_steps ? steps : run_steps;
    steps -= n;
    __m256i sum = zero, prefix = zero, first = zero, dot = zero;
    for (size_t i = 0; i < n; ++i, data += 64) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 32));
      prefix = _mm256_add_epi32(prefix, sum);
      __m256i sa = _mm256_sad_epu8(a, zero);
      first = _mm256_add_epi32(first, sa);
      sum = _mm256_add_epi32(sum, _mm256_add_epi32(sa, _mm256_sad_epu8(b, zero)));
      __m256i w = _mm256_add_epi16(_mm256_maddubs_epi16(a, taps), _mm256_maddubs_epi16(b, taps));
      dot = _mm256_add_epi32(dot, _mm256_madd_epi16(w, ones));
    }
    s2 += s1 * static_cast<uint32_t>(64 * n) + (Sum32(prefix) << 6) + (Sum32(first) << 5) +
          Sum32(dot);
    s1 += Sum32(sum);
    s1 %= base;
    s2 %= base;
  }
  return zr_adler32_portable(s2 << 16 | s1, data, len % 64);
}
