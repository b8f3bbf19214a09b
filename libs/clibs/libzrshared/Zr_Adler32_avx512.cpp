// Adler-32 with AVX-512BW: 128 bytes per step. Compiled with -mavx512bw;
// called only after the CPU check. Includes no header that defines shared
// inline functions, so no AVX-512 code can stand in for them elsewhere.
#include <tvo/revision.h>

#include "internal/zr_adler32_avx512.h"

TVO_REVISION_IDENT();

namespace {

struct Avx512 : Avx512Base {
  // A tap product pair reaches 255 * (64 + 63) = 32385: a's and b's are
  // widened to 32 bits separately, each into its own sum.
  static void DotAdd(Vec dot[2], Vec a, Vec b, Vec taps) {
    DotAdd(dot, a, taps);
    const Vec ones = _mm512_set1_epi16(1);
    dot[1] = Add(dot[1], _mm512_madd_epi16(_mm512_maddubs_epi16(b, taps), ones));
  }
  static void DotAdd(Vec dot[2], Vec a, Vec taps) {
    const Vec ones = _mm512_set1_epi16(1);
    dot[0] = Add(dot[0], _mm512_madd_epi16(_mm512_maddubs_epi16(a, taps), ones));
  }
};

}  // namespace

__attribute__((visibility("hidden"))) uint32_t zr_adler32_avx512(uint32_t adler,
                                                                 const unsigned char* data,
                                                                 size_t len) {
  return VectorAdler32<Avx512>(adler, data, len);
}
