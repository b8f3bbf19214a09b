// Adler-32 with AVX2: 64 bytes per step. Compiled with -mavx2; called only
// after the CPU check. Includes no header that defines shared inline
// functions, so no AVX2 code can stand in for them elsewhere.
#include <tvo/revision.h>

#include <immintrin.h>

#include "internal/zr_adler32_kernel.h"

TVO_REVISION_IDENT();

namespace {

struct Avx2 {
  typedef __m256i Vec;
  static constexpr size_t kWidth = 32;
  static constexpr bool kTapsFromZero = false;
  static Vec Load(const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const Vec*>(p));
  }
  static Vec Zero() { return _mm256_setzero_si256(); }
  static Vec Taps() {
    return _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15,
                            14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  }
  static Vec Add(Vec x, Vec y) { return _mm256_add_epi32(x, y); }
  static Vec ShiftLeft(Vec x, int k) { return _mm256_slli_epi32(x, k); }
  static Vec ByteSums(Vec x) { return _mm256_sad_epu8(x, Zero()); }
  // A tap product pair is at most 255 * (32 + 31) = 16065, so a's and b's
  // share one 16-bit lane before the widening.
  static void DotAdd(Vec dot[2], Vec a, Vec b, Vec taps) {
    Vec pairs = _mm256_add_epi16(_mm256_maddubs_epi16(a, taps), _mm256_maddubs_epi16(b, taps));
    dot[0] = Add(dot[0], _mm256_madd_epi16(pairs, _mm256_set1_epi16(1)));
  }
  static void DotAdd(Vec dot[2], Vec a, Vec taps) {
    dot[0] = Add(dot[0], _mm256_madd_epi16(_mm256_maddubs_epi16(a, taps), _mm256_set1_epi16(1)));
  }
  static uint32_t Sum(Vec v) {
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
  }
};

}  // namespace

__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx2(uint32_t adler,
                                                               const unsigned char* data,
                                                               size_t len) {
  return VectorAdler32<Avx2>(adler, data, len);
}
