// The bit-interval search with AVX2: 256 interval bits per compare. Compiled
// with -mavx2; called only after the CPU check. Includes no header that
// defines shared inline functions, so no AVX2 code can stand in for them
// elsewhere.
#include <immintrin.h>

#include "internal/zr_bitscan.h"

TVO_REVISION_IDENT();

namespace {

// b's interval bits, one byte's worth per lane, for the 32 bytes that start
// at q with the bits shifted down by r (1..7): lane j is
// (q[j] >> r) | (q[j + 1] << (8 - r)). Reads q[0 .. 32].
inline __m256i ShiftedChunk(const unsigned char* q, __m128i right, __m128i left, __m256i low_mask) {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1));
  const __m256i down = _mm256_and_si256(_mm256_srl_epi16(lo, right), low_mask);
  const __m256i up = _mm256_andnot_si256(low_mask, _mm256_sll_epi16(hi, left));
  return _mm256_or_si256(down, up);
}

// Chunks k = chunks-1 down to 0, four per round so the loads keep flowing as
// in a byte compare; returns one past the chunk at the top of the first
// round that differs, or 0.
template <bool kShifted>
uint64_t Search(const unsigned char* a, const unsigned char* b, unsigned r, uint64_t chunks) {
  const __m128i right = _mm_cvtsi32_si128(static_cast<int>(r));
  const __m128i left = _mm_cvtsi32_si128(static_cast<int>(8 - r));
  const __m256i low_mask = _mm256_set1_epi8(static_cast<char>(0xFF >> r));
  auto diff = [=](uint64_t k) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32 * k));
    const __m256i y = kShifted ? ShiftedChunk(b + 32 * k, right, left, low_mask)
                               : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32 * k));
    return _mm256_xor_si256(x, y);
  };
  uint64_t k = chunks;
  while (k >= 4) {
    const __m256i d = _mm256_or_si256(_mm256_or_si256(diff(k - 1), diff(k - 2)),
                                      _mm256_or_si256(diff(k - 3), diff(k - 4)));
    if (!_mm256_testz_si256(d, d)) return k;
    k -= 4;
  }
  for (; k > 0; --k) {
    const __m256i d = diff(k - 1);
    if (!_mm256_testz_si256(d, d)) return k;
  }
  return 0;
}

}  // namespace

uint64_t zr_bits::SearchChunksAvx2(const unsigned char* a, const unsigned char* b, unsigned r,
                                   uint64_t chunks) {
  return r != 0 ? Search<true>(a, b, r, chunks) : Search<false>(a, b, r, chunks);
}
