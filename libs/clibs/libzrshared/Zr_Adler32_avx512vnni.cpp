// Adler-32 with AVX-512 VNNI: 128 bytes per step, each tap product sum one
// vpdpbusd straight into 32-bit lanes. Compiled with -mavx512vnni; called
// only after the CPU check. Includes no header that defines shared inline
// functions, so no VNNI code can stand in for them elsewhere.
#include <tvo/revision.h>

#include "internal/zr_adler32_avx512.h"

TVO_REVISION_IDENT();

namespace {

alignas(64) const signed char kTapsA[64] = {
    127, 126, 125, 124, 123, 122, 121, 120, 119, 118, 117, 116, 115, 114, 113, 112,
    111, 110, 109, 108, 107, 106, 105, 104, 103, 102, 101, 100, 99,  98,  97,  96,
    95,  94,  93,  92,  91,  90,  89,  88,  87,  86,  85,  84,  83,  82,  81,  80,
    79,  78,  77,  76,  75,  74,  73,  72,  71,  70,  69,  68,  67,  66,  65,  64};
alignas(64) const signed char kTapsB[64] = {
    63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
    41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
    19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0};

// Byte k of a step weighs 2w - k; a tap of 128 does not fit a signed byte,
// so the taps are one less (127 down to 0) and the kernel adds each byte
// once more. a's and b's products go to separate sums, so consecutive steps
// do not wait for each other's vpdpbusd.
struct Avx512Vnni : Avx512Base {
  static constexpr bool kTapsFromZero = true;
  static void DotAdd(Vec dot[2], Vec a, Vec b, Vec) {
    dot[0] = _mm512_dpbusd_epi32(dot[0], a, _mm512_load_si512(kTapsA));
    dot[1] = _mm512_dpbusd_epi32(dot[1], b, _mm512_load_si512(kTapsB));
  }
  static void DotAdd(Vec dot[2], Vec a, Vec) {
    dot[0] = _mm512_dpbusd_epi32(dot[0], a, _mm512_load_si512(kTapsB));
  }
};

}  // namespace

__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx512vnni(uint32_t adler,
                                                                     const unsigned char* data,
                                                                     size_t len) {
  return VectorAdler32<Avx512Vnni>(adler, data, len);
}
