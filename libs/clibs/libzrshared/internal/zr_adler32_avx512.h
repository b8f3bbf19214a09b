// The AVX-512 vector operations that the AVX-512BW and AVX-512 VNNI units of
// Adler-32 share (see zr_adler32_kernel.h for what each one does). Included
// only by those units, which are compiled for AVX-512F and AVX-512BW at
// least; everything here has internal linkage.
#ifndef ZR_INTERNAL_ADLER32_AVX512_H
#define ZR_INTERNAL_ADLER32_AVX512_H

#include <immintrin.h>

#include "zr_adler32_kernel.h"

namespace {

alignas(64) const signed char kTaps[64] = {
    64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43,
    42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21,
    20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1};

struct Avx512Base {
  typedef __m512i Vec;
  static constexpr size_t kWidth = 64;
  static constexpr bool kTapsFromZero = false;
  static Vec Load(const unsigned char* p) { return _mm512_loadu_si512(p); }
  static Vec Zero() { return _mm512_setzero_si512(); }
  static Vec Taps() { return _mm512_load_si512(kTaps); }
  static Vec Add(Vec x, Vec y) { return _mm512_add_epi32(x, y); }
  // The zero-masking forms, with every lane selected, are the plain
  // instructions; the others make g++ 12 warn about their undefined merge
  // source.
  static Vec ShiftLeft(Vec x, unsigned k) { return _mm512_maskz_slli_epi32(0xffff, x, k); }
  static Vec ByteSums(Vec x) { return _mm512_sad_epu8(x, Zero()); }
  static uint32_t Sum(Vec v) {
    __m256i y = _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xff, v, 0),
                                 _mm512_maskz_extracti64x4_epi64(0xff, v, 1));
    __m128i x = _mm_add_epi32(_mm256_castsi256_si128(y), _mm256_extracti128_si256(y, 1));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0x4e));
    x = _mm_add_epi32(x, _mm_shuffle_epi32(x, 0xb1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x));
  }
};

}  // namespace

#endif  // ZR_INTERNAL_ADLER32_AVX512_H
