// The portable Adler-32, the choice of path and the per-block bookkeeping.
#include "Zr_Adler32.h"

#include "internal/zr_adler32.h"
#include "internal/zr_cpu.h"

#include <tvo/tvo_assert.h>

#include <atomic>

TVO_REVISION_IDENT();

namespace {

const uint32_t kBase = 65521;
// The most bytes after which s2 still fits 32 bits when s1 and s2 start
// below kBase and every byte is 255.
const size_t kNmax = 5552;

typedef uint32_t (*adler_fn)(uint32_t, const unsigned char*, size_t);

// Each half of a checksum is below 2 * kBase, so one conditional
// subtraction reduces it.
inline uint32_t Reduce(uint32_t adler) {
  uint32_t s1 = adler & 0xffff, s2 = adler >> 16;
  s1 -= s1 >= kBase ? kBase : 0;
  s2 -= s2 >= kBase ? kBase : 0;
  return s2 << 16 | s1;
}

}  // namespace

// Also the tail of every vector path, hence not static.
uint32_t zr_adler32_portable(uint32_t adler, const unsigned char* data, size_t len) {
  uint32_t s1 = adler & 0xffff;
  uint32_t s2 = adler >> 16;
  while (len > 0) {
    size_t run = len < kNmax ? len : kNmax;
    len -= run;
    while (run >= 16) {
      // Sixteen bytes per step, fully unrolled; nothing is reduced
      // before the run ends.
      for (int i = 0; i < 16; ++i) {
        s1 += data[i];
        s2 += s1;
      }
      data += 16;
      run -= 16;
    }
    while (run > 0) {
      s1 += *data++;
      s2 += s1;
      --run;
    }
    s1 %= kBase;
    s2 %= kBase;
  }
  return s2 << 16 | s1;
}

namespace {

adler_fn PathFunction(zr_adler32_path_t path) {
  switch (path) {
    case ZR_ADLER32_SSSE3:
      return zr_adler32_ssse3;
    case ZR_ADLER32_AVX2:
      return zr_adler32_avx2;
    case ZR_ADLER32_AVX512:
      return zr_adler32_avx512;
    case ZR_ADLER32_AVX512VNNI:
      return zr_adler32_avx512vnni;
    default:
      return zr_adler32_portable;
  }
}

// Buffers shorter than this go to the fastest path of at most AVX2: below
// it the 64-byte vectors of the AVX-512 paths leave too little to do to pay
// for their setup and final sums. Measured with bench/crc_bench.cpp on an
// AVX-512 VNNI machine (AMD EPYC): AVX2 and VNNI break even at 320 bytes,
// and VNNI is ahead by 5% at 384 and by 10% at 1 KiB.
const size_t kWideMin = 384;

// The two paths Zr_Adler32 takes, fixed on first use. Every thread that
// finds one unset stores the same value, so relaxed atomics suffice, and the
// common case costs one load and one indirect call per buffer.
std::atomic<adler_fn> g_narrow{nullptr};  // below kWideMin bytes
std::atomic<adler_fn> g_wide{nullptr};

__attribute__((noinline)) uint32_t FirstRun(uint32_t adler, const unsigned char* data, size_t len) {
  g_narrow.store(PathFunction(Zr_Adler32PathFor(0)), std::memory_order_relaxed);
  g_wide.store(PathFunction(Zr_Adler32PathFor(kWideMin)), std::memory_order_relaxed);
  return PathFunction(Zr_Adler32PathFor(len))(adler, data, len);
}

// The checksum by the path for `len`; `adler` already reduced.
inline uint32_t Run(uint32_t adler, const unsigned char* data, size_t len) {
  const adler_fn fn = (len < kWideMin ? g_narrow : g_wide).load(std::memory_order_relaxed);
  return fn != nullptr ? fn(adler, data, len) : FirstRun(adler, data, len);
}

}  // namespace

// The paths are one per instruction-set level, so the library-wide CPU check
// answers for them.
static_assert(int(ZR_ADLER32_PORTABLE) == zr_cpu::kPortable &&
                  int(ZR_ADLER32_SSSE3) == zr_cpu::kSsse3 &&
                  int(ZR_ADLER32_AVX2) == zr_cpu::kAvx2 &&
                  int(ZR_ADLER32_AVX512) == zr_cpu::kAvx512 &&
                  int(ZR_ADLER32_AVX512VNNI) == zr_cpu::kAvx512Vnni &&
                  ZR_ADLER32_NR_PATHS == zr_cpu::kNrLevels,
              "one Adler-32 path per instruction-set level");

bool Zr_Adler32PathAvailable(zr_adler32_path_t path) {
  return zr_cpu::Available(zr_cpu::level_t(path));
}

const char* Zr_Adler32PathName(zr_adler32_path_t path) {
  return zr_cpu::Name(zr_cpu::level_t(path));
}

zr_adler32_path_t Zr_Adler32ChoosePath(const char* request) {
  return zr_adler32_path_t(zr_cpu::Choose(request));
}

zr_adler32_path_t Zr_Adler32ActivePath() {
  return zr_adler32_path_t(zr_cpu::Best(zr_cpu::kAvx512Vnni));
}

zr_adler32_path_t Zr_Adler32PathFor(size_t len) {
  return zr_adler32_path_t(zr_cpu::Best(len < kWideMin ? zr_cpu::kAvx2 : zr_cpu::kAvx512Vnni));
}

uint32_t Zr_Adler32(uint32_t adler, const unsigned char* data, size_t len) {
  return Run(Reduce(adler), data, len);
}

uint32_t Zr_Adler32Path(zr_adler32_path_t path, uint32_t adler, const unsigned char* data,
                        size_t len) {
  if (!TVO_CHECK(Zr_Adler32PathAvailable(path))) path = ZR_ADLER32_PORTABLE;
  return PathFunction(path)(Reduce(adler), data, len);
}

uint32_t zr_adler32_run(uint32_t adler, const unsigned char* data, size_t len) {
  return Run(adler, data, len);
}

void zr_adler32_fold_blocks(unsigned long block_size, unsigned long& block_left, uint32_t& crc,
                            std::deque<uint32_t>& crcs, const unsigned char* data,
                            unsigned long len) {
  while (len > 0) {
    unsigned long n = len < block_left ? len : block_left;
    uint32_t value = Run(crc, data, n);
    if (n == block_left) {
      // Queue first: if that throws, the slice counts as not folded.
      crcs.push_back(value);
      block_left = block_size;
      crc = ZR_ADLER32_INIT;
    } else {
      block_left -= n;
      crc = value;
    }
    data += n;
    len -= n;
  }
}

void Zr_Adler32Blocks(unsigned long block_size, unsigned long& block_left, uint32_t& crc,
                      std::deque<uint32_t>& crcs, const unsigned char* data, unsigned long len) {
  zr_adler32_blocks(block_size, block_left, crc, crcs, data, len);
}
