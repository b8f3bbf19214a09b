#include "zr_cpu.h"

#include <stdlib.h>
#include <string.h>

TVO_REVISION_IDENT();

namespace zr_cpu {

namespace {

// False for a value outside the enumeration.
bool CpuHas(level_t level) {
  __builtin_cpu_init();
  switch (level) {
    case kPortable:
      return true;
    case kSsse3:
      return __builtin_cpu_supports("ssse3");
    case kAvx2:
      return __builtin_cpu_supports("avx2");
    case kAvx512:
      // The runtime reports these only when the OS also saves the registers.
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    case kAvx512Vnni:
      return CpuHas(kAvx512) && __builtin_cpu_supports("avx512vnni");
  }
  return false;
}

// The highest available level at or below `top`.
level_t Highest(level_t top) {
  int l = top;
  while (l > kPortable && !Available(level_t(l))) --l;
  return level_t(l);
}

}  // namespace

bool Available(level_t level) {
#ifdef ZR_CPU_SCALAR_ONLY
  if (level != kPortable) return false;
#endif
  return CpuHas(level);
}

const char* Name(level_t level) {
  static const char* const names[kNrLevels] = {"portable", "ssse3", "avx2", "avx512", "avx512vnni"};
  return level >= kPortable && level < kNrLevels ? names[level] : "unknown";
}

level_t Choose(const char* request) {
  for (int l = kPortable; request != NULL && l < kNrLevels; ++l) {
    if (strcmp(request, Name(level_t(l))) == 0 && Available(level_t(l))) return level_t(l);
  }
  return Highest(level_t(kNrLevels - 1));
}

level_t Ceiling() {
  static const level_t ceiling = [] {
    const char* request = getenv("ZR_SIMD");
    return Choose(request != NULL ? request : getenv("ZR_ADLER32_PATH"));
  }();
  return ceiling;
}

level_t Best(level_t top) {
  const level_t ceiling = Ceiling();
  return Highest(top < ceiling ? top : ceiling);
}

}  // namespace zr_cpu
