#include "Zr_Utils.h"

#include <errno.h>

#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"

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
