// Library-internal entry points of the Adler-32 unit, hidden from programs:
// the per-path functions (each takes and returns reduced halves), the
// length dispatch and the block bookkeeping that Zr_Adler32Blocks exports. Units inside the library
// call these directly rather than through the exported names, which would
// cost an indirect jump per call.
#ifndef ZR_INTERNAL_ADLER32_H
#define ZR_INTERNAL_ADLER32_H

#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

#define ZR_ADLER32_HIDDEN __attribute__((visibility("hidden")))

ZR_ADLER32_HIDDEN uint32_t zr_adler32_portable(uint32_t adler, const unsigned char* data,
                                               size_t len);
ZR_ADLER32_HIDDEN uint32_t zr_adler32_ssse3(uint32_t adler, const unsigned char* data, size_t len);
ZR_ADLER32_HIDDEN uint32_t zr_adler32_avx2(uint32_t adler, const unsigned char* data, size_t len);
ZR_ADLER32_HIDDEN uint32_t zr_adler32_avx512(uint32_t adler, const unsigned char* data, size_t len);
ZR_ADLER32_HIDDEN uint32_t zr_adler32_avx512vnni(uint32_t adler, const unsigned char* data,
                                                 size_t len);

// Vector units must not see <deque>: its inline functions, compiled with
// their instruction-set flags, could stand in for everyone else's.
#ifndef ZR_ADLER32_VECTOR_UNIT
#include <tvo/tvo_assert.h>

#include <deque>

// The checksum of data[0, len) after `adler` (reduced halves) by the path
// that Zr_Adler32 takes for `len` bytes.
ZR_ADLER32_HIDDEN uint32_t zr_adler32_run(uint32_t adler, const unsigned char* data, size_t len);

// zr_adler32_blocks for a `len` that completes at least the current block.
ZR_ADLER32_HIDDEN void zr_adler32_fold_blocks(unsigned long block_size, unsigned long& block_left,
                                              uint32_t& crc, std::deque<uint32_t>& crcs,
                                              const unsigned char* data, unsigned long len);

// What Zr_Adler32Blocks does. Inline, so that the streams' common case, a
// call that stays within the current block, costs no more than the checksum.
inline void zr_adler32_blocks(unsigned long block_size, unsigned long& block_left, uint32_t& crc,
                              std::deque<uint32_t>& crcs, const unsigned char* data,
                              unsigned long len) {
  // A block left of 0 would never advance.
  if (!TVO_CHECK(block_left > 0 && block_left <= block_size)) return;
  if (len < block_left) {
    crc = zr_adler32_run(crc, data, len);
    block_left -= len;
    return;
  }
  zr_adler32_fold_blocks(block_size, block_left, crc, crcs, data, len);
}
#endif

#endif  // ZR_INTERNAL_ADLER32_H
