// Zr_BufferedFileDescriptor: a Zr_FileDescriptor with one user-space buffer.
//
// Small writes collect in the buffer and reach the file one full buffer at a
// time; reads are served from a read-ahead of one buffer. The one buffer
// serves both directions, so the object is either writing (the buffer holds
// pending output) or reading (it holds read-ahead); switching flushes. After
// SetFlags with O_DIRECT every transfer bypasses the buffer.
//
//   Zr_BufferedFileDescriptor fd;              // 64 KiB buffer
//   fd.Open(path, O_RDWR | O_CREAT, 0644);
//   for (...) fd.Write(&rec, sizeof rec);       // one write(2) per 64 KiB
//   fd.Seek(0, SEEK_SET);                       // flushes first
//   fd.Read(&rec, sizeof rec);
//   if (fd.Close() != 0) { ...the final flush or close failed, errno... }
//
// Everything not said here (Open, MkSTemp, Copy, GetFileDescriptor, IsOpen,
// the meaning of results) is as in Zr_FileDescriptor. Results are POSIX
// style (-1 and errno); only the constructors throw.
//
// Position: the object keeps the logical file offset (where the next Read
// or Write takes effect) across reads, writes and seeks, also for files
// opened with O_APPEND, where it follows the descriptor after each write.
// The descriptor's own offset runs ahead of it by the unread read-ahead.
//
// Pending output: Close and Flush write it and report failures. The
// destructor writes it too, as a best effort whose failure nobody sees:
// call Close (or Flush) when the outcome matters. A failed write of the
// buffer keeps the pending bytes, and the next Write or Flush retries them.
//
// "Flushes first" below means: calls Flush() and fails with its errno when
// that fails. In reading mode Flush drops the read-ahead and moves the
// descriptor back to the logical offset; on a pipe or socket that seek
// fails (ESPIPE) and the read-ahead is kept.
//
// Threads: nothing is locked; one object is used by one thread at a time.
// O_DIRECT: the system's alignment rules apply to the caller's buffers in
// direct mode; the class neither checks nor arranges alignment.
#ifndef ZR_BUFFEREDFILEDESCRIPTOR_H
#define ZR_BUFFEREDFILEDESCRIPTOR_H

#include <stdint.h>
#include <tvo/revision.h>

#include "Zr_FileDescriptor.h"

class Zr_BufferedFileDescriptor : public Zr_FileDescriptor {
 public:
  // Uses the caller's `buffer` of `size` bytes, released with delete[] by
  // the object when `take_ownership`; otherwise it must outlive the object.
  // Throws Zr_ErrnoException(EINVAL) for a null buffer or a size of 0 or
  // above SSIZE_MAX (the buffer is then not released, even when ownership
  // was offered).
  Zr_BufferedFileDescriptor(char* buffer, unsigned long size, bool take_ownership);
  // Allocates a buffer of `size` bytes. Throws Zr_ErrnoException(EINVAL)
  // for a size of 0; an allocation failure throws std::bad_alloc.
  explicit Zr_BufferedFileDescriptor(unsigned long size);
  // Allocates a buffer of 65536 bytes.
  Zr_BufferedFileDescriptor();

  // Writes pending output (best effort, result ignored, errno kept), closes
  // the descriptor and releases an owned buffer.
  ~Zr_BufferedFileDescriptor() override;

  // Flushes pending output, then closes the descriptor whatever the flush
  // did. Returns 0; -1 with the flush's errno when it failed (the pending
  // output is then lost) or with close's errno; EBADF when not open. The
  // buffer stays, so the object can be opened again.
  int Close() override;

  // Buffers `count` bytes, writing the buffer to the descriptor each time it
  // fills. Returns `count`; -1 with errno when writing a full buffer failed
  // (the bytes taken so far stay pending: retry with Flush, since repeating
  // the whole Write would store them twice), EBADF when closed, EFAULT for
  // a null buffer with a non-zero count, EINVAL for a count above SSIZE_MAX
  // (refused before the buffer or descriptor is touched). Direct mode:
  // UnbufferedWrite.
  int64_t Write(void const* buffer, unsigned long count) override;

  // Copies up to `count` bytes from the read-ahead, refilling it (one read
  // of the buffer size) only while bytes are still wanted. Returns `count`,
  // or fewer at end of file or when a refill failed after some bytes were
  // delivered (the error then shows on the next call); -1 with errno when
  // nothing was delivered, EBADF when closed, EFAULT for a null buffer with a
  // non-zero count, EINVAL for a count above SSIZE_MAX (refused before the
  // buffer or descriptor is touched). On a pipe or socket a refill waits for
  // a full buffer or end of file, as the safe_ layer completes every read.
  // Direct mode: UnbufferedRead.
  int64_t Read(void* buffer, unsigned long count) override;

  // Flushes first, then as in Zr_FileDescriptor. Seek's result becomes the
  // logical offset; a failed Seek leaves it unchanged.
  int64_t Seek(long offset, int whence) override;
  int DataSync() override;
  int Sync() override;
  int Truncate(long length) override;
  // Flushes first; direct mode is on exactly when `flags` holds O_DIRECT
  // (also when the system then refuses the flags). Returns the old flags.
  int SetFlags(int flags) override;
  // Flushes first, so a closed object gives EBADF.
  int GetFlags() override;
  // Flushes first, so the size includes all output written so far.
  int Stat(struct stat* buffer) override;

  // Flushes first, then one write of `count` bytes straight to the
  // descriptor. Returns `count`, or -1 with errno; EBADF, EFAULT and EINVAL
  // as for Write come before the flush.
  virtual int64_t UnbufferedWrite(void const* buffer, unsigned long count);
  // Flushes first, then one read of up to `count` bytes straight from the
  // descriptor. Returns the bytes read, or -1 with errno; EBADF, EFAULT and
  // EINVAL as for Read come before the flush.
  virtual int64_t UnbufferedRead(void* buffer, unsigned long count);
  // Writing mode: writes the pending output (kept on failure for a retry).
  // Reading mode: drops the read-ahead and moves the descriptor back to the
  // logical offset. Returns 0, or -1 with errno (EBADF when closed).
  virtual int64_t Flush();
  // The buffer's capacity in bytes.
  virtual unsigned long GetBufferSize();
  // Whether output is pending.
  virtual bool IsDirty();

 private:
  // Write and Read beyond their inline fast paths: mode switches, refills,
  // full buffers, direct mode and every check.
  int64_t writeGeneral(void const* buffer, unsigned long count);
  int64_t readGeneral(void* buffer, unsigned long count);
  // Switches between reading and writing mode, flushing first. Returns 0,
  // or -1 with the flush's errno (mode unchanged).
  int64_t setReadingMode(bool reading);
  // Releases an owned buffer.
  void cleanup();
  // The logical offset becomes the descriptor's (kept where it has none).
  // Called whenever output may have moved the descriptor: leaving writing
  // mode and after unbuffered transfers.
  void followDescriptor();
  // Closed state: writing mode, nothing pending, offset 0, not direct.
  void resetState();

  bool m_buf_owned;      // m_buf is released with delete[]
  char* m_buf;           // the buffer
  uint64_t m_buf_size;   // capacity of m_buf
  bool m_reading;        // reading mode (else writing mode)
  uint64_t m_read_pos;   // reading: next byte of m_buf to hand out
  uint64_t m_read_len;   // reading: valid read-ahead bytes in m_buf
  uint64_t m_write_len;  // writing: pending bytes at the start of m_buf
  bool m_direct;         // transfers bypass the buffer
  int64_t m_position;    // reading mode: logical offset of the next Read or Write
};

#endif  // ZR_BUFFEREDFILEDESCRIPTOR_H
