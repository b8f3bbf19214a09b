// Private to libzrshared: the checks every descriptor class makes before it
// touches a descriptor, each rule and its error number written once. Not
// installed, not exported.
#ifndef ZR_INTERNAL_FDCHECK_H
#define ZR_INTERNAL_FDCHECK_H

#include <errno.h>
#include <limits.h>
#include <tvo/revision.h>

// Inside a descriptor operation: fail with -1 and EBADF when the object is
// closed (ZR_GUARD_OPEN) or already open (ZR_GUARD_CLOSED, for Open and
// MkSTemp). IsOpen is called through its virtual slot, so a subclass's idea
// of "open" governs every inherited operation too.
#define ZR_FAIL_EBADF_IF_(condition) \
  do {                               \
    if (condition) {                 \
      errno = EBADF;                 \
      return -1;                     \
    }                                \
  } while (0)
#define ZR_GUARD_OPEN() ZR_FAIL_EBADF_IF_(!IsOpen())
#define ZR_GUARD_CLOSED() ZR_FAIL_EBADF_IF_(IsOpen())

namespace zr_fd {

// Whether a transfer of `count` bytes at `buffer` is refused before the
// buffer or the descriptor is touched, with errno as the kernel would
// answer: EFAULT for a null buffer with a non-zero count (answered here, so
// a read from an empty pipe cannot block first, and stdio never copies from
// null), EINVAL for a count above SSIZE_MAX (no result could report it).
// Every Read and Write checks this right after ZR_GUARD_OPEN.
inline bool BadTransfer(const void* buffer, unsigned long count) {
  if (buffer == nullptr && count != 0) {
    errno = EFAULT;
    return true;
  }
  if (count > SSIZE_MAX) {
    errno = EINVAL;
    return true;
  }
  return false;
}

}  // namespace zr_fd

#endif  // ZR_INTERNAL_FDCHECK_H
