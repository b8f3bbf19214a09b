#include "Zr_FileDescriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <tvo/safe_io.h>
#include <unistd.h>

#include "internal/zr_fdcheck.h"

TVO_REVISION_IDENT();

const int Zr_FileDescriptor::INVALID_FD;

Zr_FileDescriptor::Zr_FileDescriptor() : m_fd(INVALID_FD) {}

Zr_FileDescriptor::~Zr_FileDescriptor() {
  if (m_fd != INVALID_FD) Zr_FileDescriptor::Close();
}

int Zr_FileDescriptor::Open(char const* path, int flags, unsigned int mode) {
  ZR_GUARD_CLOSED();
  m_fd = ::open64(path, flags, mode);
  return IsOpen() ? m_fd : -1;
}

int Zr_FileDescriptor::Open(char const* path, int flags) {
  if ((flags & O_CREAT) != 0) {
    errno = EINVAL;
    return -1;
  }
  return Open(path, flags, 0);
}

int Zr_FileDescriptor::MkSTemp(char* path_template) {
  ZR_GUARD_CLOSED();
  mode_t previous = ::umask(0177);
  m_fd = ::mkstemp64(path_template);
  ::umask(previous);  // umask cannot fail and leaves errno alone
  return m_fd;
}

int Zr_FileDescriptor::Close() {
  ZR_GUARD_OPEN();
  int result = ::close(m_fd);
  // Even a failed close(2) releases the number on Linux; retrying could
  // close a descriptor another thread has just been given.
  m_fd = INVALID_FD;
  return result;
}

int64_t Zr_FileDescriptor::Write(void const* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count)) return -1;
  return safe_write(m_fd, buffer, count);
}

int64_t Zr_FileDescriptor::Read(void* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count)) return -1;
  return safe_read(m_fd, buffer, count);
}

namespace {

// Reads Copy's next piece: exactly `chunk` bytes, or up to `chunk` when it
// copies to end of file. Returns the count, or -1 with errno (ENODATA when a
// counted piece comes up short: the source ended early).
int64_t ReadPiece(Zr_FileDescriptor& source, void* buffer, int64_t chunk, bool to_end) {
  const int64_t n = source.Read(buffer, static_cast<unsigned long>(chunk));
  if (n >= 0 && !to_end && n != chunk) {
    errno = ENODATA;
    return -1;
  }
  return n;
}

// Writes the `n` bytes Copy has just read. A short write that reports no
// error is EIO: the copy would otherwise lose its tail in silence.
int WriteAll(Zr_FileDescriptor& target, const void* buffer, int64_t n) {
  const int64_t w = target.Write(buffer, static_cast<unsigned long>(n));
  if (w == -1) return -1;
  if (w != n) {
    errno = EIO;
    return -1;
  }
  return 0;
}

}  // namespace

int Zr_FileDescriptor::Copy(Zr_FileDescriptor& source, long count, void* buffer,
                            unsigned long buffer_size) {
  const int64_t size = static_cast<int64_t>(buffer_size);
  if (size <= 0 || count < -1) {
    errno = EINVAL;
    return -1;
  }
  // One loop for both forms: `left` is -1 for "to end of file", where every
  // read asks a whole buffer and a short one is simply what there was.
  for (int64_t left = count; left != 0;) {
    const bool to_end = left == -1;
    const int64_t chunk = to_end || left > size ? size : left;
    const int64_t n = ReadPiece(source, buffer, chunk, to_end);
    if (n < 0) return -1;
    if (n == 0) return 0;  // only to end of file: a counted piece is never empty
    if (WriteAll(*this, buffer, n) != 0) return -1;
    if (!to_end) left -= n;
  }
  return 0;
}

int64_t Zr_FileDescriptor::Seek(long offset, int whence) {
  ZR_GUARD_OPEN();
  return ::lseek64(m_fd, offset, whence);
}

int Zr_FileDescriptor::DataSync() {
  ZR_GUARD_OPEN();
  return safe_fdatasync(m_fd);
}

int Zr_FileDescriptor::Sync() {
  ZR_GUARD_OPEN();
  return safe_fsync(m_fd);
}

int Zr_FileDescriptor::Truncate(long length) {
  ZR_GUARD_OPEN();
  return ::ftruncate64(m_fd, length);
}

int Zr_FileDescriptor::SetFlags(int flags) {
  ZR_GUARD_OPEN();
  int old = GetFlags();
  if (old == -1) return -1;
  if (::fcntl(m_fd, F_SETFL, flags) == -1) return -1;
  return old;
}

int Zr_FileDescriptor::GetFlags() { return ::fcntl(m_fd, F_GETFL); }

int Zr_FileDescriptor::GetFileDescriptor() { return m_fd; }

bool Zr_FileDescriptor::IsOpen() { return m_fd != INVALID_FD; }

int Zr_FileDescriptor::Stat(struct stat* buffer) {
  ZR_GUARD_OPEN();
  // On x86-64 the two records are one layout; the large-file call is used
  // all the same so the size fields can never be cut.
  static_assert(sizeof(struct stat) == sizeof(struct stat64), "stat layouts differ");
  return ::fstat64(m_fd, reinterpret_cast<struct stat64*>(buffer));
}
