// Zr_StreamFileDescriptor: a stdio stream (FILE*) behind Zr_FileDescriptor.
//
// Lets code written against Zr_FileDescriptor (Copy, Zr_WriteBuf,
// Zr_ReadBuf, the CRC streams) work through a stdio stream and its buffer.
// The object owns its stream: Close and the destructor fclose it (which
// closes the descriptor beneath); Disconnect hands it back to the caller.
//
//   Zr_StreamFileDescriptor out(fdopen(sock, "wb"));   // adopts the stream
//   Zr_WriteBuf(out, data, len);
//   out.Flush();
//   FILE* f = out.Disconnect();                         // caller owns f again
//
// Differences from Zr_FileDescriptor, all kept for existing callers:
//  - Seek returns 0 on success, not the new offset;
//  - Truncate and SetFlags always fail with ENOSYS;
//  - MkSTemp creates the file with no permission bits at all (the creation
//    mask is 0600 during the call); it stays usable through the stream;
//  - the base class's descriptor number stays INVALID_FD; the number always
//    comes from the stream (fileno).
// Results are POSIX style (-1 and errno); nothing throws. Guarded operations
// fail with EBADF while no stream is held. Sync and DataSync rely on the
// safe_ layer to flush the stream's buffer before syncing.
//
// Output: every byte Write accepted reaches the descriptor once and in
// order, or the Write that fills the stream's buffer, or a later Flush,
// Sync, DataSync, Seek or Close, returns -1; after that, how much of the
// buffered output arrived is unknown (see tvo/safe_io.h: stdio drops its
// buffer when a write fails, so signal handlers are held off while stdio
// writes and run once it is done). As stdio requires, a Read that follows
// a Write needs a Flush or Seek between them.
//
// Threads: nothing is locked by this class; one object is used by one thread
// at a time. MkSTemp changes the process-wide creation mask during the call.
#ifndef ZR_STREAMFILEDESCRIPTOR_H
#define ZR_STREAMFILEDESCRIPTOR_H

#include <stdint.h>
#include <stdio.h>
#include <tvo/revision.h>

#include "Zr_FileDescriptor.h"

class Zr_StreamFileDescriptor : public Zr_FileDescriptor {
 public:
  // The value of the stream while nothing is open (null).
  static FILE* const INVALID_STREAM;

  // A closed object.
  Zr_StreamFileDescriptor();
  // Adopts `file` as it is (mode and position unexamined); open unless null.
  explicit Zr_StreamFileDescriptor(FILE* file);
  // Closes the stream when open; the result is ignored.
  ~Zr_StreamFileDescriptor() override;

  // open64, then fdopen with the mode the flags call for: O_APPEND|O_RDWR
  // "a+b", O_APPEND|O_WRONLY "ab", O_RDWR "r+b", O_WRONLY "wb", else "rb"
  // (fdopen never truncates; the open flags alone decide that). Returns the
  // stream's descriptor number, or -1 with errno (EBADF when already open);
  // when fdopen fails the descriptor is closed again.
  int Open(char const* path, int flags, unsigned int mode) override;
  // As the three-argument Open with mode 0; O_CREAT fails with EINVAL.
  int Open(char const* path, int flags) override;
  // As Zr_FileDescriptor::MkSTemp, but the file gets no permission bits and
  // is opened as a "r+b" stream. Returns its descriptor number, or -1 with
  // errno. The file stays on disk whatever happens.
  int MkSTemp(char* path_template) override;
  // Guarded. Flushes pending output with safe_fflush, then fclose; the object
  // is closed afterwards in any case. Returns 0, or -1 with errno (the
  // flush's when that failed).
  int Close() override;
  // Guarded. safe_fwrite / safe_fread through the stream's buffer. Results
  // as in Zr_FileDescriptor: a null buffer with a non-zero count gives
  // EFAULT, a count above SSIZE_MAX EINVAL, both before stdio is called.
  int64_t Write(void const* buffer, unsigned long count) override;
  int64_t Read(void* buffer, unsigned long count) override;
  // Guarded. Flushes pending output with safe_fflush, then fseeko64. Returns
  // 0 (not the offset), or -1 with errno.
  int64_t Seek(long offset, int whence) override;
  // Guarded. safe_ffdatasync / safe_ffsync. Returns 0, or -1 with errno.
  int DataSync() override;
  int Sync() override;
  // Not supported on a stream: always -1 with ENOSYS.
  int Truncate(long length) override;
  int SetFlags(int flags) override;
  // fcntl(F_GETFL) on the stream's descriptor; -1 with EBADF when closed.
  int GetFlags() override;
  // The stream's descriptor number; -1 when closed.
  int GetFileDescriptor() override;
  // Whether a stream is held.
  bool IsOpen() override;
  // Guarded. fstat64 of the stream's descriptor (pending stream output is
  // not counted). Returns 0, or -1 with errno.
  int Stat(struct stat* buffer) override;

  // Gives up the stream without flushing or closing it and returns it (null
  // when none); the caller owns it, the object is closed.
  virtual FILE* Disconnect();
  // Guarded. safe_fflush: the stream's buffered output goes to the
  // descriptor. Returns 0, or -1 with errno.
  virtual int Flush();
  // The stream, or null; ownership stays with the object.
  virtual FILE* GetFile();

 private:
  // Wraps the new descriptor `fd` in a stream of `mode`. Returns the
  // descriptor number, or -1 with fdopen's errno after closing `fd`.
  int adopt(int fd, const char* mode);

  FILE* m_file;  // the owned stream; INVALID_STREAM while closed
};

#endif  // ZR_STREAMFILEDESCRIPTOR_H
