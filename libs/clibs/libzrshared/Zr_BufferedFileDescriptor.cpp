#include "Zr_BufferedFileDescriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "internal/zr_fdcheck.h"

TVO_REVISION_IDENT();

namespace {
const unsigned long kDefaultBufferSize = 0x10000;

// No real buffer exceeds SSIZE_MAX bytes; refusing a size that claims so
// keeps every transfer that fits in the buffer within SSIZE_MAX.
char* CheckedBuffer(char* buffer, unsigned long size) {
  if (buffer == nullptr || size == 0 || size > SSIZE_MAX) throw Zr_ErrnoException(EINVAL);
  return buffer;
}

char* NewBuffer(unsigned long size) {
  if (size == 0) throw Zr_ErrnoException(EINVAL);
  return new char[size];
}

// Pieces up to this size are copied inline on the fast paths.
const size_t kSmallCopy = 16;

// memcpy of n <= kSmallCopy bytes without a library call: fixed-size copies
// compile to plain loads and stores, and two overlapping ones cover every
// length up to twice their size.
inline void CopySmall(char* dst, const char* src, size_t n) {
  if (n >= 8) {
    memcpy(dst, src, 8);
    memcpy(dst + n - 8, src + n - 8, 8);
  } else if (n >= 4) {
    memcpy(dst, src, 4);
    memcpy(dst + n - 4, src + n - 4, 4);
  } else if (n > 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

// The fast paths' copy of a piece above kSmallCopy, returning its size: out
// of line and tail-called, so the fast paths need no stack frame, and
// marked unlikely there, so the small copy they exist for runs straight on.
__attribute__((noinline)) int64_t CopyLarge(void* dst, const void* src, size_t n) {
  memcpy(dst, src, n);
  return static_cast<int64_t>(n);
}
}  // namespace

Zr_BufferedFileDescriptor::Zr_BufferedFileDescriptor(char* buffer, unsigned long size,
                                                     bool take_ownership)
    : m_buf_owned(take_ownership),
      m_buf(CheckedBuffer(buffer, size)),
      m_buf_size(size),
      m_reading(false),
      m_read_pos(0),
      m_read_len(0),
      m_write_len(0),
      m_direct(false),
      m_position(0) {}

Zr_BufferedFileDescriptor::Zr_BufferedFileDescriptor(unsigned long size)
    : Zr_BufferedFileDescriptor(NewBuffer(size), size, true) {}

Zr_BufferedFileDescriptor::Zr_BufferedFileDescriptor()
    : Zr_BufferedFileDescriptor(kDefaultBufferSize) {}

Zr_BufferedFileDescriptor::~Zr_BufferedFileDescriptor() {
  // Dropping pending output here would lose data silently; a destructor
  // cannot report, so this is best effort and Close stays the checked path.
  if (IsOpen() && IsDirty()) {
    const int saved = errno;
    Flush();
    errno = saved;
  }
  cleanup();
}

void Zr_BufferedFileDescriptor::cleanup() {
  if (m_buf_owned) delete[] m_buf;
  m_buf = nullptr;
  m_buf_size = 0;
}

void Zr_BufferedFileDescriptor::resetState() {
  m_reading = false;
  m_direct = false;
  m_read_pos = 0;
  m_read_len = 0;
  m_write_len = 0;
  m_position = 0;
}

void Zr_BufferedFileDescriptor::followDescriptor() {
  // With O_APPEND a write lands at the end of the file, wherever the logical
  // offset was, so the descriptor is the authority. A pipe has no offset
  // (and nothing ever seeks it), so a failure here changes nothing.
  const int saved = errno;
  const int64_t where = Zr_FileDescriptor::Seek(0, SEEK_CUR);
  errno = saved;
  if (where >= 0) m_position = where;
}

int64_t Zr_BufferedFileDescriptor::setReadingMode(bool reading) {
  if (m_reading == reading) return 0;
  // The flush leaves the buffer empty either way: no output pending, no
  // read-ahead.
  if (Flush() == -1) return -1;
  // Leaving writing mode: the output is out, and the descriptor now says
  // where the next byte is (this is what puts an O_APPEND file's reader at
  // its end, as with a plain descriptor).
  if (reading) followDescriptor();
  m_reading = reading;
  return 0;
}

int64_t Zr_BufferedFileDescriptor::Flush() {
  ZR_GUARD_OPEN();
  if (m_reading) {
    // Seek before dropping the read-ahead: when the seek fails (a pipe), the
    // bytes already read from the descriptor are still there to hand out.
    if (Zr_FileDescriptor::Seek(m_position, SEEK_SET) == -1) return -1;
    m_read_pos = 0;
    m_read_len = 0;
    return 0;
  }
  if (IsDirty()) {
    if (Zr_FileDescriptor::Write(m_buf, m_write_len) == -1) return -1;
    m_write_len = 0;
  }
  return 0;
}

int64_t Zr_BufferedFileDescriptor::Write(void const* buffer, unsigned long count) {
  // Fast path: the piece joins pending output without filling the buffer.
  // Pending output exists only in writing mode, outside direct mode and on
  // an object that passed the open check when it was buffered (Close drops
  // it), and a piece that fits is within SSIZE_MAX, so nothing else needs
  // checking here.
  if (m_write_len != 0 && count < m_buf_size - m_write_len && buffer != nullptr) {
    char* dst = m_buf + m_write_len;
    m_write_len += count;
    if (__builtin_expect(count > kSmallCopy, 0)) return CopyLarge(dst, buffer, count);
    CopySmall(dst, static_cast<const char*>(buffer), count);
    return static_cast<int64_t>(count);
  }
  return writeGeneral(buffer, count);
}

int64_t Zr_BufferedFileDescriptor::writeGeneral(void const* buffer, unsigned long count) {
  if (m_direct) return UnbufferedWrite(buffer, count);
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count) || setReadingMode(false) == -1) return -1;
  if (count == 0) return 0;

  const char* src = static_cast<const char*>(buffer);
  uint64_t left = count;
  for (;;) {
    const uint64_t room = m_buf_size - m_write_len;
    const uint64_t n = left < room ? left : room;
    memcpy(m_buf + m_write_len, src, n);
    m_write_len += n;
    src += n;
    left -= n;
    if (m_write_len == m_buf_size) {
      // On failure the full buffer stays pending for the next Write or Flush.
      if (Zr_FileDescriptor::Write(m_buf, m_buf_size) == -1) return -1;
      m_write_len = 0;
    }
    if (left == 0) return static_cast<int64_t>(count);
  }
}

int64_t Zr_BufferedFileDescriptor::Read(void* buffer, unsigned long count) {
  // Fast path: unread read-ahead holds the whole piece. As with pending
  // output, read-ahead exists only in reading mode, outside direct mode, on
  // an object that was open when it was read (Close and Flush drop it), and
  // no read-ahead exceeds the buffer size, which is at most SSIZE_MAX.
  if (count != 0 && count <= m_read_len - m_read_pos && buffer != nullptr) {
    const char* src = m_buf + m_read_pos;
    m_read_pos += count;
    m_position += static_cast<int64_t>(count);
    if (__builtin_expect(count > kSmallCopy, 0)) return CopyLarge(buffer, src, count);
    CopySmall(static_cast<char*>(buffer), src, count);
    return static_cast<int64_t>(count);
  }
  return readGeneral(buffer, count);
}

int64_t Zr_BufferedFileDescriptor::readGeneral(void* buffer, unsigned long count) {
  if (m_direct) return UnbufferedRead(buffer, count);
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count) || setReadingMode(true) == -1) return -1;
  if (count == 0) return 0;

  char* dst = static_cast<char*>(buffer);
  uint64_t done = 0;
  for (;;) {
    const uint64_t avail = m_read_len - m_read_pos;
    const uint64_t want = count - done;
    const uint64_t n = want < avail ? want : avail;
    memcpy(dst + done, m_buf + m_read_pos, n);
    m_read_pos += n;
    m_position += static_cast<int64_t>(n);
    done += n;
    // Refill only for bytes still wanted: reading ahead for nobody could
    // block on a pipe or fail a request that was already satisfied.
    if (done == count) return static_cast<int64_t>(count);
    const int64_t r = Zr_FileDescriptor::Read(m_buf, m_buf_size);
    if (r == -1) {
      // Bytes already delivered are reported; the error shows next time.
      return done != 0 ? static_cast<int64_t>(done) : -1;
    }
    m_read_pos = 0;
    m_read_len = static_cast<uint64_t>(r);
    if (r == 0) return static_cast<int64_t>(done);
  }
}

int Zr_BufferedFileDescriptor::Close() {
  if (IsDirty() && Flush() == -1) {
    const int saved = errno;
    Zr_FileDescriptor::Close();
    resetState();
    errno = saved;
    return -1;
  }
  const int result = Zr_FileDescriptor::Close();
  resetState();
  return result;
}

int64_t Zr_BufferedFileDescriptor::Seek(long offset, int whence) {
  if (Flush() == -1) return -1;
  const int64_t result = Zr_FileDescriptor::Seek(offset, whence);
  if (result != -1) m_position = result;
  return result;
}

int Zr_BufferedFileDescriptor::DataSync() {
  if (Flush() == -1) return -1;
  return Zr_FileDescriptor::DataSync();
}

int Zr_BufferedFileDescriptor::Sync() {
  if (Flush() == -1) return -1;
  return Zr_FileDescriptor::Sync();
}

int Zr_BufferedFileDescriptor::Truncate(long length) {
  if (Flush() == -1) return -1;
  return Zr_FileDescriptor::Truncate(length);
}

int Zr_BufferedFileDescriptor::SetFlags(int flags) {
  if (Flush() == -1) return -1;
  m_direct = (flags & O_DIRECT) != 0;
  return Zr_FileDescriptor::SetFlags(flags);
}

int Zr_BufferedFileDescriptor::GetFlags() {
  if (Flush() == -1) return -1;
  return Zr_FileDescriptor::GetFlags();
}

int Zr_BufferedFileDescriptor::Stat(struct stat* buffer) {
  if (Flush() == -1) return -1;
  return Zr_FileDescriptor::Stat(buffer);
}

int64_t Zr_BufferedFileDescriptor::UnbufferedWrite(void const* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count) || Flush() == -1) return -1;
  const int64_t n = Zr_FileDescriptor::Write(buffer, count);
  if (n > 0) followDescriptor();
  return n;
}

int64_t Zr_BufferedFileDescriptor::UnbufferedRead(void* buffer, unsigned long count) {
  ZR_GUARD_OPEN();
  if (zr_fd::BadTransfer(buffer, count) || Flush() == -1) return -1;
  const int64_t n = Zr_FileDescriptor::Read(buffer, count);
  if (n > 0) followDescriptor();
  return n;
}

unsigned long Zr_BufferedFileDescriptor::GetBufferSize() { return m_buf_size; }

bool Zr_BufferedFileDescriptor::IsDirty() { return m_write_len != 0; }
