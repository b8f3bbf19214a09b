// Adler-32 with SSSE3: 32 bytes per step. Compiled with -mssse3; called only
// after the CPU check. Includes no header that defines shared inline
// functions, so no SSSE3 code can stand in for them elsewhere.
#include <tvo/revision.h>

#include <immintrin.h>

#include "internal/zr_adler32_kernel.h"

TVO_REVISION_IDENT();

namespace {

struct Ssse3 {
  typedef __m128i Vec;
  static constexpr size_t kWidth = 16;
  static constexpr bool kTapsFromZero = false;
  static Vec Load(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const Vec*>(p));
  }
  static Vec Zero() { return _mm_setzero_si128(); }
  static Vec Taps() { return _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1); }
  static Vec Add(Vec x, Vec y) { return _mm_add_epi32(x, y); }
  static Vec ShiftLeft(Vec x, int k) { return _mm_slli_epi32(x, k); }
  static Vec ByteSums(Vec x) { return _mm_sad_epu8(x, Zero()); }
  // A tap product pair is at most 255 * (16 + 15) = 7905, so a's and b's
  // share one 16-bit lane before the widening.
  static void DotAdd(Vec dot[2], Vec a, Vec b, Vec taps) {
    Vec pairs = _mm_add_epi16(_mm_maddubs_epi16(a, taps), _mm_maddubs_epi16(b, taps));
    dot[0] = Add(dot[0], _mm_madd_epi16(pairs, _mm_set1_epi16(1)));
  }
  static void DotAdd(Vec dot[2], Vec a, Vec taps) {
    dot[0] = Add(dot[0], _mm_madd_epi16(_mm_maddubs_epi16(a, taps), _mm_set1_epi16(1)));
  }
  static uint32_t Sum(Vec x) {
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
  }
};

}  // namespace

__attribute__((visibility("hidden"))) uint32_t zr_adler32_ssse3(uint32_t adler,
                                                                const unsigned char* data,
                                                                size_t len) {
  return VectorAdler32<Ssse3>(adler, data, len);
}
