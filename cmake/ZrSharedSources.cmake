# Per-source compile flags of libzrshared (included after the target exists).

# The pool's Malloc/Free hot path calls its own chunk operations; without
# semantic interposition those calls bind locally and can be inlined instead
# of going through the PLT.
set_source_files_properties(${ZR_SRC_DIR}/zr_bufferpool.cpp PROPERTIES COMPILE_OPTIONS
                            -fno-semantic-interposition)
