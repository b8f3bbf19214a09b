// Private to libzrshared: which vector instruction sets the library may use.
// Not installed, not exported.
//
// Every unit with vector code (Adler-32, the bit-interval compare) asks here
// before it calls code compiled for an instruction set, so one switch caps
// them all. The levels are nested: a CPU at one level can run every level
// below it.
//
// The ceiling. The environment variable ZR_SIMD, read once on first use,
// names the highest level the library may pick by itself: "portable",
// "ssse3", "avx2", "avx512" or "avx512vnni". A level the CPU or the build lacks, and any
// other text, leaves the ceiling at the highest level available. When ZR_SIMD
// is not set, ZR_ADLER32_PATH (the older name, same values) is read instead.
// A library configured with -DZRSHARED_NO_SIMD=ON never runs vector code:
// only the portable level is available.
//
// Thread safety: every function may be called from any number of threads at
// once; the ceiling is fixed once, under the C++ static-initialisation
// guarantee.
#ifndef ZR_INTERNAL_CPU_H
#define ZR_INTERNAL_CPU_H

#include <tvo/revision.h>

namespace zr_cpu {

// Instruction-set levels, lowest first. The values are those of
// zr_adler32_path_t, whose paths are one per level.
enum level_t : int {
  kPortable = 0,    // any x86-64
  kSsse3 = 1,       // SSSE3
  kAvx2 = 2,        // AVX2
  kAvx512 = 3,      // AVX-512F and AVX-512BW, with the OS saving their registers
  kAvx512Vnni = 4,  // and AVX-512 VNNI
};
const int kNrLevels = 5;

// True when this build may run vector code of `level` and the CPU can; always
// true for kPortable, false for a value outside the enumeration.
__attribute__((visibility("hidden"))) bool Available(level_t level);

// The highest available level, or the level `request` names when it is
// available (see the ceiling above). A null request selects the highest.
__attribute__((visibility("hidden"))) level_t Choose(const char* request);

// The ceiling in force: Choose() of ZR_SIMD, else of ZR_ADLER32_PATH.
__attribute__((visibility("hidden"))) level_t Ceiling();

// The highest available level at or below min(`top`, Ceiling()): what a unit
// whose fastest code is of level `top` runs by default.
__attribute__((visibility("hidden"))) level_t Best(level_t top);

// The level's lower-case name as ZR_SIMD spells it, or "unknown" for a value
// outside the enumeration.
__attribute__((visibility("hidden"))) const char* Name(level_t level);

}  // namespace zr_cpu

#endif  // ZR_INTERNAL_CPU_H
