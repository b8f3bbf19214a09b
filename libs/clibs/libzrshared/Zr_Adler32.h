// Zr_Adler32: the Adler-32 checksum (RFC 1950) that the checksummed streams
// use for every block, in one place for the writer, the reader and tools.
//
// Several implementations ("paths") compute the same value: a portable one
// that every build has, and vector paths for SSSE3, AVX2, AVX-512BW and
// AVX-512 VNNI, each
// compiled in its own source file with its own instruction-set flags. The
// paths are chosen once, on the first call, after checking the CPU, so the
// library still runs on any x86-64: the fastest path for long buffers, and
// for short ones the fastest of at most AVX2 (wider vectors do not pay off
// there); Zr_Adler32PathFor tells which path a length takes.
//
// Choosing the path. The library-wide switch ZR_SIMD, an environment
// variable read once at the first call, names the highest instruction set
// that the library may use ("portable", "ssse3", "avx2", "avx512",
// "avx512vnni"); the
// bit-interval compare obeys it too. A level that the CPU or the build lacks,
// or any other text, leaves the fastest available path in force. When ZR_SIMD
// is not set, ZR_ADLER32_PATH is read instead, with the same values.
// Configuring with -DZRSHARED_NO_SIMD=ON builds a library that runs no vector
// code at all: the portable path is the only one available.
//
//   uint32_t a = Zr_Adler32(ZR_ADLER32_INIT, data, len);  // whole buffer
//   a = Zr_Adler32(a, more, more_len);                      // continued
//
// Every function here is safe to call from any number of threads at once; the
// path choice is made once, under the C++ static-initialisation guarantee.
#ifndef ZR_ADLER32_H
#define ZR_ADLER32_H

#include <stddef.h>
#include <stdint.h>
#include <tvo/revision.h>

#include <deque>

// The Adler-32 of no bytes: the starting value of every checksum.
const uint32_t ZR_ADLER32_INIT = 1;

// The implementations, slowest first. Any int converts to the type, so a
// stray value is caught by the checks below rather than being undefined.
enum zr_adler32_path_t : int {
  ZR_ADLER32_PORTABLE = 0,
  ZR_ADLER32_SSSE3 = 1,
  ZR_ADLER32_AVX2 = 2,
  ZR_ADLER32_AVX512 = 3,
  ZR_ADLER32_AVX512VNNI = 4,
};
const int ZR_ADLER32_NR_PATHS = 5;

// Returns the Adler-32 of the bytes a checksum `adler` stood for, followed by
// data[0, len), computed by the active path. `adler` is ZR_ADLER32_INIT to
// start; any 32-bit value is accepted (its halves are first reduced modulo
// 65521). `data` may be null only when `len` is 0. Does not set errno.
uint32_t Zr_Adler32(uint32_t adler, const unsigned char* data, size_t len);

// As Zr_Adler32, through the given path. A path that is not available (see
// Zr_Adler32PathAvailable) is reported as misuse to the assertion handler,
// and the portable path computes the value instead.
uint32_t Zr_Adler32Path(zr_adler32_path_t path, uint32_t adler, const unsigned char* data,
                        size_t len);

// Returns true when `path` is compiled into this library and the CPU can run
// it. The portable path is always available.
bool Zr_Adler32PathAvailable(zr_adler32_path_t path);

// Returns the path that Zr_Adler32 uses for long buffers (choosing it on the
// first call): the fastest available one.
zr_adler32_path_t Zr_Adler32ActivePath();

// Returns the path that Zr_Adler32 takes for a buffer of `len` bytes. Short
// buffers may take a narrower path than Zr_Adler32ActivePath when that is
// faster for them; every path gives the same value.
zr_adler32_path_t Zr_Adler32PathFor(size_t len);

// Returns the path that a request such as the value of ZR_SIMD selects: the
// named path when it is available, else the fastest available one. A null
// request selects the fastest available path.
zr_adler32_path_t Zr_Adler32ChoosePath(const char* request);

// Returns the path's lower-case name ("portable", "ssse3", "avx2", "avx512",
// "avx512vnni"), or "unknown" for a value outside the enumeration.
const char* Zr_Adler32PathName(zr_adler32_path_t path);

// The block bookkeeping that the checksummed streams share: folds
// data[0, len) into per-block checksums of `block_size` bytes each.
// `block_left` (1 to block_size) counts the bytes still missing from the
// current block and `crc` holds that block's running Adler-32; each block
// completed, also by the last byte, is appended to `crcs` at once and the
// next block starts (`block_left` = block_size, `crc` = ZR_ADLER32_INIT).
// Nothing happens for `len` 0. The standard allocation failure passes through;
// the bookkeeping then still describes the bytes folded before it.
void Zr_Adler32Blocks(unsigned long block_size, unsigned long& block_left, uint32_t& crc,
                      std::deque<uint32_t>& crcs, const unsigned char* data, unsigned long len);

#endif  // ZR_ADLER32_H
