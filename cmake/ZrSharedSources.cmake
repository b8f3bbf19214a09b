# Per-source compile flags of libzrshared.
#
# The Adler-32 vector paths are compiled for their instruction sets, one file
# each; the library picks one at run time after checking the CPU, so it still
# runs on any x86-64. ZRSHARED_ADLER32_PORTABLE builds a library that always
# uses the portable path (the vector files are still compiled, never called).
option(ZRSHARED_ADLER32_PORTABLE "Always use the portable Adler-32" OFF)
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_ssse3.cpp PROPERTIES COMPILE_OPTIONS "-mssse3")
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2")
set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32_avx512.cpp
                            PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512bw")
if(ZRSHARED_ADLER32_PORTABLE)
  set_source_files_properties(${ZR_SRC_DIR}/Zr_Adler32.cpp
                              PROPERTIES COMPILE_DEFINITIONS ZR_ADLER32_PORTABLE_ONLY)
endif()

# Per-source compile flags of libzrshared (included after the target exists).

# The pool's Malloc/Free hot path calls its own chunk operations; without
# semantic interposition those calls bind locally and can be inlined instead
# of going through the PLT.
set_source_files_properties(${ZR_SRC_DIR}/zr_bufferpool.cpp PROPERTIES COMPILE_OPTIONS
                            -fno-semantic-interposition)
