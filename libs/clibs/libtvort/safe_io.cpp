// Interruption-safe I/O: complete partial transfers, retry EINTR.
#include <tvo/revision.h>
#include <tvo/safe_io.h>

#include <pthread.h>
#include <signal.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <initializer_list>

TVO_REVISION_IDENT();

namespace {
bool CountTooLarge(size_t count) {
  if (count > static_cast<size_t>(SSIZE_MAX)) {
    errno = EINVAL;
    return true;
  }
  return false;
}

// glibc's stdio drops a buffer whose write(2) fails, EINTR included: it
// resets the write pointers whatever was written, so output that fwrite had
// accepted is gone when a signal handler interrupts the flush, and no retry
// brings it back. The cure is that stdio's write(2) is never interrupted:
// while a stdio call may write, this thread blocks every signal that could
// run a handler. Left deliverable: the synchronous signals, whose handlers
// must run at the fault, and the termination signals a user sends by hand
// while they keep their default action (which never interrupts a call but
// must still stop a writer stuck on a full pipe).
class HandlersHeld {
 public:
  HandlersHeld() {
    sigset_t block;
    sigfillset(&block);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&block, sig);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      struct sigaction action;
      if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_DFL) {
        sigdelset(&block, sig);
      }
    }
    pthread_sigmask(SIG_BLOCK, &block, &m_old);
  }
  ~HandlersHeld() {
    // A signal that arrived meanwhile is delivered here; keep the call's errno.
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    errno = saved;
  }
  HandlersHeld(const HandlersHeld&) = delete;
  HandlersHeld& operator=(const HandlersHeld&) = delete;

 private:
  sigset_t m_old;
};

// Whether fwrite of `count` bytes only copies into the stream's buffer. This
// is the test glibc's own putc makes; line-buffered and unbuffered streams,
// and streams not yet in writing mode, keep no room here and so never pass.
bool FitsInBuffer(FILE* stream, size_t count) {
  const ptrdiff_t room = stream->_IO_write_end - stream->_IO_write_ptr;
  return count == 0 || (room > 0 && count <= static_cast<size_t>(room));
}

// The stdio calls that may write, out of line so that the calls that only
// copy keep a small frame.
__attribute__((noinline)) size_t FwriteHeld(const void* buf, size_t count, FILE* stream) {
  HandlersHeld held;
  return ::fwrite(buf, 1, count, stream);
}

__attribute__((noinline)) int FflushHeld(FILE* stream) {
  HandlersHeld held;
  return ::fflush(stream);
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
      ::clearerr(stream);  // an interrupted read(2) lost nothing: go on
      continue;
    }
    break;  // end of file
  }
  return static_cast<ssize_t>(done);
}

extern "C" ssize_t safe_fwrite(FILE* stream, const void* buf, size_t count) {
  if (CountTooLarge(count)) return -1;
  const size_t done = FitsInBuffer(stream, count) ? ::fwrite(buf, 1, count, stream)
                                                  : FwriteHeld(buf, count, stream);
  // Short only on an error. Retrying is unsound: stdio may have dropped
  // buffered bytes, so a count written so far would be a lie.
  return done == count ? static_cast<ssize_t>(count) : -1;
}

extern "C" int safe_fflush(FILE* stream) {
  // A null stream flushes every stream, any of which may hold output.
  const bool writes = stream == nullptr || __fpending(stream) != 0;
  return (writes ? FflushHeld(stream) : ::fflush(stream)) == 0 ? 0 : -1;
}

extern "C" int safe_ffsync(FILE* stream) {
  if (safe_fflush(stream) != 0) return -1;
  return safe_fsync(::fileno(stream));
}

extern "C" int safe_ffdatasync(FILE* stream) {
  if (safe_fflush(stream) != 0) return -1;
  return safe_fdatasync(::fileno(stream));
}
