// Private to libzrshared: the checks every descriptor class makes before it
// touches a descriptor, each rule and its error number written once. Not
// installed, not exported.
#ifndef ZR_INTERNAL_FDCHECK_H
#define ZR_INTERNAL_FDCHECK_H

#include <errno.h>
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

#endif  // ZR_INTERNAL_FDCHECK_H
