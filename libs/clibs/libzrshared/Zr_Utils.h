// Zr_Utils: free helper functions of libzrshared.
#ifndef ZR_UTILS_H
#define ZR_UTILS_H

#include <stdint.h>
#include <tvo/revision.h>

// ---------------------------------------------------------------------------
// Whole-buffer transfers over a Zr_FileDescriptor (Zr_FileDescriptor.h).
//
// Declared here and in Zr_FileDescriptor.h, which documents them: one call
// of the descriptor's Write or Read, a failure thrown as Zr_ErrnoException.

class Zr_FileDescriptor;

int64_t Zr_WriteBuf(Zr_FileDescriptor& fd, unsigned char const* buffer, unsigned long count);
int64_t Zr_ReadBuf(Zr_FileDescriptor& fd, unsigned char* buffer, unsigned long count);

// ---------------------------------------------------------------------------

#endif  // ZR_UTILS_H
