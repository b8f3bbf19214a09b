# Private sources of libzrshared, and per-source compile flags.
file(GLOB ZR_INTERNAL_SOURCES CONFIGURE_DEPENDS ${ZR_SRC_DIR}/internal/*.cpp)
target_sources(zrshared PRIVATE ${ZR_INTERNAL_SOURCES})

# Vector code lives in units of its own, one per instruction set, compiled
# for it; the library runs one only after internal/zr_cpu.cpp has checked the
# CPU, so it still runs on any x86-64. ZRSHARED_NO_SIMD builds a library whose
# CPU check admits none of them (they are still compiled, never called).
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_ssse3.cpp PROPERTIES COMPILE_OPTIONS "-mssse3")
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_avx2.cpp ${ZR_SRC_DIR}/Zr_BitInterval_avx2.cpp
                            PROPERTIES COMPILE_OPTIONS "-mavx2")
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_avx512.cpp
                            PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw")
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_avx512vnni.cpp
                            PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw;-mavx512vnni")
if(ZRSHARED_NO_SIMD)
  set_source_files_properties(${ZR_SRC_DIR}/internal/zr_cpu.cpp
                              PROPERTIES COMPILE_DEFINITIONS ZR_CPU_SCALAR_ONLY)
endif()

# The pool's Malloc/Free hot path calls its own chunk operations; without
# semantic interposition those calls bind locally and can be inlined instead
# of going through the PLT.
set_source_files_properties(${ZR_SRC_DIR}/zr_bufferpool.cpp PROPERTIES COMPILE_OPTIONS
                            -fno-semantic-interposition)
