// Adler-32 with AVX-512BW: 128 bytes per step. Compiled with -mavx512bw;
// called only after the CPU check. Includes no header that defines shared
// inline functions, so no AVX-512 code can stand in for them elsewhere.
#include <tvo/revision.h>

#include <immintrin.h>

#include "internal/zr_adler32_kernel.h"

TVO_REVISION_IDENT();

namespace {

alignas(64) const signed char kTaps[64] = {
    64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
    42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21,
    20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1};

struct Avx512 {
  typedef __m512i Vec;
  static constexpr size_t kWidth = 64;
  static Vec Load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static Vec Zero() { return _mm512_setzero_si512(); }
  static Vec Taps() { return _mm512_load_si512(kTaps); }
  static Vec Add(Vec x, Vec y) { return _mm512_add_epi32(x, y); }
  static Vec ByteSums(Vec x) { return _mm512_sad_epu8(x, Zero()); }
  // A tap product pair reaches 255 * (64 + 63) = 32385: a's and b's are
  // widened to 32 bits separately.
  static Vec Dot(Vec a, Vec b, Vec taps) {
    const Vec ones = _mm512_set1_epi16(1);
    return Add(_mm512_madd_epi16(_mm512_maddubs_epi16(a, taps), ones),
               _mm512_madd_epi16(_mm512_maddubs_epi16(b, taps), ones));
  }
  // Once per run, so a plain store is fast enough; it also avoids the
  // intrinsic reductions, which some compilers warn about.
  static uint32_t Sum(Vec v) {
    alignas(64) uint32_t lanes[16];
    _mm512_store_si512(lanes, v);
    uint32_t total = 0;
    for (uint32_t lane : lanes) total += lane;
    return total;
  }
};

}  // namespace

__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx512(uint32_t adler,
                                                                 const unsigned char* data,
                                                                 size_t len) {
  return VectorAdler32<Avx512>(adler, data, len);
}
