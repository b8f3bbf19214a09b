// Zr_FileDescriptor: the library's one virtual interface to a file.
//
// A thin, polymorphic owner of a POSIX descriptor number. Every operation is
// virtual, so a buffered descriptor (Zr_BufferedFileDescriptor) or a stdio
// stream (Zr_StreamFileDescriptor) can stand wherever a Zr_FileDescriptor&
// is taken: Copy, the whole-buffer helpers (Zr_Utils.h), the CRC streams.
//
//   Zr_FileDescriptor fd;
//   if (fd.Open("/data/seg.0", O_WRONLY | O_CREAT | O_TRUNC, 0644) < 0) { ...errno... }
//   Zr_WriteBuf(fd, data, len);   // throws Zr_ErrnoException on failure
//   if (fd.Close() != 0) { ...errno... }
//
// Results are POSIX style: -1 with errno set on failure, never an exception
// and never an assertion. Byte counts and offsets are signed 64-bit.
// Operations called "guarded" first ask the virtual IsOpen() and fail with
// EBADF on a closed object without making any system call.
//
// Ownership: the object owns its descriptor; Close and the destructor close
// it. Only Open and MkSTemp give the object a descriptor. Objects are not
// copyable (a copy would close the same descriptor twice).
//
// Threads: nothing is locked; one object is used by one thread at a time.
// MkSTemp changes the process-wide file-creation mask for the duration of
// the mkstemp64 call, so files other threads create in that window get that
// mask too.
#ifndef ZR_FILEDESCRIPTOR_H
#define ZR_FILEDESCRIPTOR_H

#include <stdint.h>
#include <sys/stat.h>
#include <tvo/revision.h>

#include "Zr_ErrnoException.h"
// The whole-buffer helpers Zr_WriteBuf and Zr_ReadBuf, declared with the
// library's other free functions.
#include "Zr_Utils.h"

class Zr_FileDescriptor {
 public:
  // The value of the descriptor number while nothing is open.
  static const int INVALID_FD = -1;

  // A closed object.
  Zr_FileDescriptor();
  Zr_FileDescriptor(const Zr_FileDescriptor&) = delete;
  Zr_FileDescriptor& operator=(const Zr_FileDescriptor&) = delete;

  // Closes the descriptor when open (with this class's Close; a subclass's
  // part is already gone here). The result is ignored.
  virtual ~Zr_FileDescriptor();

  // open64(path, flags, mode). Returns the new descriptor, or -1 with errno
  // from open64. Fails with EBADF, leaving the open descriptor untouched,
  // when the object is already open.
  virtual int Open(char const* path, int flags, unsigned int mode);

  // As the three-argument Open with mode 0. Flags holding O_CREAT fail with
  // EINVAL, since a file created with mode 0 would be unusable: pass a mode.
  virtual int Open(char const* path, int flags);

  // Creates and opens a unique file from `path_template`, whose last six
  // characters must be "XXXXXX"; they are replaced in the caller's buffer.
  // The file gets owner read and write permission only (the process's
  // creation mask is 0177 during the call and restored after it, also on
  // failure). Returns the new descriptor, or -1 with errno from mkstemp64;
  // EBADF when already open.
  virtual int MkSTemp(char* path_template);

  // Guarded. close(2); the object is closed afterwards whatever close
  // returned. Returns 0, or -1 with errno.
  virtual int Close();

  // Guarded. Writes all `count` bytes (safe_write completes partial writes).
  // Returns `count`, or -1 with errno; a null buffer with a non-zero count
  // gives EFAULT, a count above SSIZE_MAX EINVAL.
  virtual int64_t Write(void const* buffer, unsigned long count);

  // Guarded. Reads up to `count` bytes; fewer only at end of file. Returns
  // the bytes read, or -1 with errno; a null buffer with a non-zero count
  // gives EFAULT, a count above SSIZE_MAX EINVAL.
  virtual int64_t Read(void* buffer, unsigned long count);

  // Copies from `source`'s current position to this object's, through
  // source.Read and this->Write, using the caller's scratch `buffer` of
  // `buffer_size` bytes. `count` bytes, or everything up to source's end of
  // file when `count` is -1. Returns 0, or -1 with errno: EINVAL for a
  // buffer size of 0 (or above the signed 64-bit range) or a count below -1;
  // ENODATA when source ends before `count` bytes; EIO when Write reports a
  // short count; otherwise what Read or Write set. Bytes written before a
  // failure stay written.
  virtual int Copy(Zr_FileDescriptor& source, long count, void* buffer, unsigned long buffer_size);

  // Guarded. lseek64. Returns the new offset from the start of the file, or
  // -1 with errno.
  virtual int64_t Seek(long offset, int whence);

  // Guarded. safe_fdatasync / safe_fsync. Returns 0, or -1 with errno.
  virtual int DataSync();
  virtual int Sync();

  // Guarded. ftruncate64. Returns 0, or -1 with errno.
  virtual int Truncate(long length);

  // Guarded. Sets the file status flags (fcntl F_SETFL). Returns the flags
  // in force before the call (as GetFlags reports them), or -1 with errno.
  virtual int SetFlags(int flags);

  // fcntl(F_GETFL): the access mode and status flags, or -1 with errno (on
  // a closed object the system reports EBADF).
  virtual int GetFlags();

  // The descriptor number; -1 (INVALID_FD) when closed. Ownership stays.
  virtual int GetFileDescriptor();

  // Whether a descriptor is open.
  virtual bool IsOpen();

  // Guarded. fstat64 into `buffer`. Returns 0, or -1 with errno.
  virtual int Stat(struct stat* buffer);

 protected:
  int m_fd;  // the descriptor number; INVALID_FD while closed
};

#endif  // ZR_FILEDESCRIPTOR_H
