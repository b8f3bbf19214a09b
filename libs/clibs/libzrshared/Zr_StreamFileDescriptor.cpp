#include "Zr_StreamFileDescriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <tvo/safe_io.h>
#include <unistd.h>

#include "internal/zr_fdcheck.h"

TVO_REVISION_IDENT();

FILE* const Zr_StreamFileDescriptor::INVALID_STREAM = nullptr;

namespace {
// The flags are tested bit by bit, first match wins, so an access mode with
// both bits set (O_RDWR | O_WRONLY) is taken as read-write.
const char* StdioMode(int flags) {
  const bool append = (flags & O_APPEND) != 0;
  if (append && (flags & O_RDWR) != 0) return "a+b";
  if (append && (flags & O_WRONLY) != 0) return "ab";
  if ((flags & O_RDWR) != 0) return "r+b";
  if ((flags & O_WRONLY) != 0) return "wb";
  return "rb";
}

// fclose and fseeko64 write pending output themselves, where a signal could
// make stdio drop it; safe_fflush writes it first with signals held off.
int FlushPending(FILE* file) { return __fpending(file) == 0 ? 0 : safe_fflush(file); }
}  // namespace

Zr_StreamFileDescriptor::Zr_StreamFileDescriptor() : m_file(INVALID_STREAM) {}

Zr_StreamFileDescriptor::Zr_StreamFileDescriptor(FILE* file) : m_file(file) {}

Zr_StreamFileDescriptor::~Zr_StreamFileDescriptor() {
  if (Zr_StreamFileDescriptor::IsOpen()) Zr_StreamFileDescriptor::Close();
}

int Zr_StreamFileDescriptor::Open(char const* path, int flags, unsigned int mode) {
  ZR_GUARD_CLOSED();
  const int fd = ::open64(path, flags, mode);
  if (fd < 0) return -1;
  return adopt(fd, StdioMode(flags));
}

int Zr_StreamFileDescriptor::Open(char const* path, int flags) {
  // The base class refuses O_CREAT and calls this class's three-argument Open.
  return Zr_FileDescriptor::Open(path, flags);
}

int Zr_StreamFileDescriptor::MkSTemp(char* path_template) {
  ZR_GUARD_CLOSED();
  const mode_t previous = ::umask(0600);
  const int fd = ::mkstemp64(path_template);
  ::umask(previous);
  if (fd < 0) return -1;
  return adopt(fd, "r+b");
}

int Zr_StreamFileDescriptor::adopt(int fd, const char* mode) {
  m_file = ::fdopen(fd, mode);
  if (IsOpen()) return ::fileno(m_file);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

int Zr_StreamFileDescriptor::Close() {
  ZR_GUARD_OPEN();
  const int flushed = FlushPending(m_file);
  const int saved = errno;
  const int result = ::fclose(m_file);
  // fclose releases the stream even when it fails; never touch it again.
  m_file = INVALID_STREAM;
  if (flushed == 0) return result;
  errno = saved;
  return -1;
}

int64_t Zr_StreamFileDescriptor::Write(void const* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count)) return -1;
  return safe_fwrite(m_file, buffer, count);
}

int64_t Zr_StreamFileDescriptor::Read(void* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count)) return -1;
  return safe_fread(m_file, buffer, count);
}

int64_t Zr_StreamFileDescriptor::Seek(long offset, int whence) {
  ZR_GUARD_OPEN();
  if (FlushPending(m_file) != 0) return -1;
  return ::fseeko64(m_file, offset, whence);
}

int Zr_StreamFileDescriptor::DataSync() {
  ZR_GUARD_OPEN();
  return safe_ffdatasync(m_file);
}

int Zr_StreamFileDescriptor::Sync() {
  ZR_GUARD_OPEN();
  return safe_ffsync(m_file);
}

int Zr_StreamFileDescriptor::Flush() {
  ZR_GUARD_OPEN();
  return safe_fflush(m_file);
}

int Zr_StreamFileDescriptor::Truncate(long) {
  errno = ENOSYS;
  return -1;
}

int Zr_StreamFileDescriptor::SetFlags(int) {
  errno = ENOSYS;
  return -1;
}

int Zr_StreamFileDescriptor::GetFlags() {
  if (!IsOpen()) return Zr_FileDescriptor::GetFlags();  // EBADF from the system
  return ::fcntl(::fileno(m_file), F_GETFL);
}

int Zr_StreamFileDescriptor::GetFileDescriptor() {
  if (!IsOpen()) return Zr_FileDescriptor::GetFileDescriptor();
  return ::fileno(m_file);
}

bool Zr_StreamFileDescriptor::IsOpen() { return m_file != INVALID_STREAM; }

int Zr_StreamFileDescriptor::Stat(struct stat* buffer) {
  ZR_GUARD_OPEN();
  if (GetFileDescriptor() == -1) return -1;  // errno as fileno left it
  static_assert(sizeof(struct stat) == sizeof(struct stat64), "stat layouts differ");
  return ::fstat64(::fileno(m_file), reinterpret_cast<struct stat64*>(buffer));
}

FILE* Zr_StreamFileDescriptor::Disconnect() {
  FILE* file = m_file;
  m_file = INVALID_STREAM;
  return file;
}

FILE* Zr_StreamFileDescriptor::GetFile() { return m_file; }
