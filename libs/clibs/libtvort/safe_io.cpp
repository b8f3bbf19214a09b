// Interruption-safe I/O: complete partial transfers, retry EINTR.
#include <tvo/revision.h>
#include <tvo/safe_io.h>

#include <cerrno>
#include <climits>
#include <unistd.h>

TVO_REVISION_IDENT();

namespace {
bool CountTooLarge(size_t count) {
  if (count > static_cast<size_t>(SSIZE_MAX)) {
    errno = EINVAL;
    return true;
  }
  return false;
}
}  // namespace

extern "C" ssize_t safe_read(int fd, void* buf, size_t count) {
  if (CountTooLarge(count)) return -1;
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, p + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      break;  // end of file
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

extern "C" ssize_t safe_write(int fd, const void* buf, size_t count) {
  if (CountTooLarge(count)) return -1;
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd, p + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      // write(2) returning 0 for a non-zero count would loop for ever.
      errno = EIO;
      return -1;
    } else if (errno != EINTR) {
      return -1;
    }
  }
  return static_cast<ssize_t>(done);
}

extern "C" int safe_fsync(int fd) {
  int r;
  do r = ::fsync(fd);
  while (r < 0 && errno == EINTR);
  return r;
}

extern "C" int safe_fdatasync(int fd) {
  int r;
  do r = ::fdatasync(fd);
  while (r < 0 && errno == EINTR);
  return r;
}

extern "C" ssize_t safe_fread(FILE* stream, void* buf, size_t count) {
  if (CountTooLarge(count)) return -1;
  char* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < count) {
    done += ::fread(p + done, 1, count - done, stream);
    if (done == count) break;
    if (::ferror(stream)) {
      if (errno != EINTR) return -1;
      ::clearerr(stream);  // interrupted: the stream is still usable
      continue;
    }
    break;  // end of file
  }
  return static_cast<ssize_t>(done);
}

extern "C" ssize_t safe_fwrite(FILE* stream, const void* buf, size_t count) {
  if (CountTooLarge(count)) return -1;
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < count) {
    size_t n = ::fwrite(p + done, 1, count - done, stream);
    done += n;
    if (done == count) break;
    if (::ferror(stream) && errno == EINTR) {
      ::clearerr(stream);
      continue;
    }
    return -1;
  }
  return static_cast<ssize_t>(done);
}

extern "C" int safe_fflush(FILE* stream) {
  for (;;) {
    if (::fflush(stream) == 0) return 0;
    if (errno != EINTR) return -1;
    ::clearerr(stream);  // glibc keeps the unwritten bytes; flush them again
  }
}

extern "C" int safe_ffsync(FILE* stream) {
  if (safe_fflush(stream) != 0) return -1;
  return safe_fsync(::fileno(stream));
}

extern "C" int safe_ffdatasync(FILE* stream) {
  if (safe_fflush(stream) != 0) return -1;
  return safe_fdatasync(::fileno(stream));
}
