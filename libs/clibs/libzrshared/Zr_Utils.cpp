#include "Zr_Utils.h"

#include <errno.h>

#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"
#include "internal/zr_bitscan.h"

TVO_REVISION_IDENT();

// ---------------------------------------------------------------------------
// Whole-buffer transfers over a Zr_FileDescriptor.

int64_t Zr_WriteBuf(Zr_FileDescriptor& fd, unsigned char const* buffer, unsigned long count) {
  int64_t written = fd.Write(buffer, count);
  if (written == -1) throw Zr_ErrnoException(errno, "Failed to write to stream from buffer");
  return written;
}

int64_t Zr_ReadBuf(Zr_FileDescriptor& fd, unsigned char* buffer, unsigned long count) {
  int64_t got = fd.Read(buffer, count);
  if (got == -1) throw Zr_ErrnoException(errno, "IO problem reading data from stream into buffer.");
  if (got != static_cast<int64_t>(count)) {
    throw Zr_ErrnoException(ENODATA, "Failed to read all data from stream into buffer.");
  }
  return static_cast<int64_t>(count);
}

// ---------------------------------------------------------------------------
// Bit helpers.

int Zr_MatchBits(unsigned char* a, unsigned char* b, unsigned int a_offset, unsigned int b_offset,
                 unsigned int count) {
  if (count == 0) return 1;
  return zr_bits::CompareIntervals(a, a_offset, b, b_offset, count) == 0;
}

unsigned long Zr_BitsToBytes(unsigned long bits) {
  // Not (bits + 7) / 8: that wraps to 0 for the last 7 counts below 2^64.
  return bits / 8 + (bits % 8 != 0);
}
