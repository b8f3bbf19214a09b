/*
 * Interruption-safe I/O of the runtime-support layer (libtvort).
 *
 * One call transfers the whole count: each function repeats the underlying
 * read(2)/write(2) (or fread) after a partial transfer and after an
 * interruption by a signal (EINTR), so a caller never has to loop itself.
 *
 * Results:
 *  - safe_read / safe_fread: the bytes read, equal to `count` unless end of
 *    file came first (then fewer, possibly 0); -1 with errno set on an error.
 *    Bytes read before an error are consumed but not reported.
 *  - safe_write / safe_fwrite: `count`; -1 with errno set on an error
 *    (a write(2) that makes no progress reports EIO).
 *  - the sync and flush functions: 0, or -1 with errno set.
 *  - safe_ffsync / safe_ffdatasync first flush the stream's buffered output,
 *    then fsync/fdatasync its descriptor, so what was written reaches stable
 *    storage.
 * A count above SSIZE_MAX fails with EINVAL before anything is transferred.
 * Thread-safety is that of the descriptor or stream underneath, except as
 * said below for streams.
 *
 * Streams. Every byte that safe_fwrite accepted reaches the descriptor once
 * and in order when the stream is flushed (by stdio when its buffer fills,
 * by safe_fflush, safe_ffsync or safe_ffdatasync), or that flush fails with
 * -1:
 *  - Signals: stdio throws its buffered output away when its write(2) fails,
 *    so a handler must never interrupt it. While a stream call may write,
 *    the calling thread blocks all signals except SIGSEGV, SIGBUS, SIGFPE,
 *    SIGILL, SIGTRAP, SIGSYS, and SIGINT, SIGTERM, SIGHUP, SIGQUIT while
 *    their action is the default; signals sent to the thread meanwhile are
 *    delivered when the stdio call returns. So a handler (an alarm timeout,
 *    say) cannot end a write blocked on a peer that stops reading; use a
 *    signal left deliverable, or poll before writing. A safe_fwrite that
 *    fits in the buffer of a fully buffered stream makes no system call.
 *  - After -1 (EAGAIN on a non-blocking descriptor included: that is a
 *    failure, not a retry), stdio may have dropped its buffered output,
 *    bytes accepted earlier included; how much of it reached the descriptor
 *    is unknown.
 *  - Whether stdio will write is judged before the stdio call, so threads
 *    that share a stream must serialise these calls (flockfile) themselves.
 */
#ifndef TVO_SAFE_IO_H
#define TVO_SAFE_IO_H

#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

ssize_t safe_read(int fd, void* buf, size_t count);
ssize_t safe_write(int fd, const void* buf, size_t count);
int safe_fsync(int fd);
int safe_fdatasync(int fd);

ssize_t safe_fread(FILE* stream, void* buf, size_t count);
ssize_t safe_fwrite(FILE* stream, const void* buf, size_t count);
int safe_fflush(FILE* stream);
int safe_ffsync(FILE* stream);
int safe_ffdatasync(FILE* stream);

#ifdef __cplusplus
}
#endif

#endif /* TVO_SAFE_IO_H */
