// Library-internal entry points of the Adler-32 unit, hidden from programs:
// the per-path functions (each takes and returns reduced halves) and the
// block bookkeeping that Zr_Adler32Blocks exports. Units inside the library
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

// Vector units must not see <deque>: its inline functions, compiled with
// their instruction-set flags, could stand in for everyone else's.
#ifndef ZR_ADLER32_VECTOR_UNIT
#include <deque>
ZR_ADLER32_HIDDEN void zr_adler32_blocks(unsigned long block_size, unsigned long& block_left,
                                         uint32_t& crc, std::deque<uint32_t>& crcs,
                                         const unsigned char* data, unsigned long len);
#endif

#endif  // ZR_INTERNAL_ADLER32_H
