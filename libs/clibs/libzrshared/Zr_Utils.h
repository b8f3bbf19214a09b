// Zr_Utils: free helper functions of libzrshared.
#ifndef ZR_UTILS_H
#define ZR_UTILS_H

#include <stdint.h>
#include <tvo/revision.h>

// ---------------------------------------------------------------------------
// Whole-buffer transfers over a Zr_FileDescriptor (Zr_FileDescriptor.h, which
// includes this header). Each makes exactly one call of the descriptor's
// virtual Write or Read (the safe_ layer below completes partial transfers)
// and turns a failure into a thrown Zr_ErrnoException; the descriptor's
// state is as that call left it. Thread-safety is the descriptor's.

class Zr_FileDescriptor;

// fd.Write(buffer, count). Returns its result (a short count is returned,
// not thrown). Throws errno and "Failed to write to stream from buffer" when
// Write returns -1.
int64_t Zr_WriteBuf(Zr_FileDescriptor& fd, unsigned char const* buffer, unsigned long count);

// fd.Read(buffer, count). Returns `count`. Throws errno and "IO problem
// reading data from stream into buffer." when Read returns -1, and ENODATA
// with "Failed to read all data from stream into buffer." when it returns
// any other count.
int64_t Zr_ReadBuf(Zr_FileDescriptor& fd, unsigned char* buffer, unsigned long count);

// ---------------------------------------------------------------------------
// Bit helpers. Bits are numbered as in Zr_BitPointer.h: bit 0 of a byte is
// its least significant bit, and a run goes upward through bits 0..7 of each
// byte into the next byte. Neither function throws, sets errno or keeps
// state; both are safe from any thread on memory no other thread writes.

// 1 when the `count` bits that begin `a_offset` bits after `a` equal, one by
// one, the `count` bits that begin `b_offset` bits after `b`; 0 otherwise.
// A `count` of 0 gives 1 without reading either array (they may be null).
// Reads only the bytes that hold the two runs, many bits per step, and
// writes nothing. Checks nothing: the caller guarantees the bytes exist.
int Zr_MatchBits(unsigned char* a, unsigned char* b, unsigned int a_offset, unsigned int b_offset,
                 unsigned int count);

// The number of whole bytes that hold `bits` bits, (bits + 7) / 8, for every
// 64-bit count (no wrap-around near 2^64).
unsigned long Zr_BitsToBytes(unsigned long bits);

#endif  // ZR_UTILS_H
